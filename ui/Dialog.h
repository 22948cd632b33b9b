// A small modal-dialog framework over the Win32 dialog manager: a dialog object bound to a
// template, data exchange between its fields and its controls, and the usual OK/Cancel endings.
// Dialog templates live in the module that contains this code (Quillmark.dll, or a test program
// that links the dialog and its resources), never in the host executable.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>

class CListCtrl;

// One run of data exchange: into the controls, or (saving) out of them into the fields.
class CDataExchange {
public:
    CDataExchange(HWND dialog, bool saveAndValidate) noexcept
        : dialog_(dialog), saving_(saveAndValidate) {}

    HWND Dialog() const noexcept { return dialog_; }

    // Binds the control `id` to a list wrapper; an existing binding is kept.
    void Control(int id, CListCtrl& list) const;
    // Narrow text in the ANSI code page: the field's text into the control, or back.
    void Text(int id, std::string& value) const;

private:
    HWND dialog_;
    bool saving_;
};

class CDialog {
public:
    CDialog(UINT templateId, HWND parent) noexcept : templateId_(templateId), parent_(parent) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the dialog from its template, centres it over the parent's top-level window (over
    // the screen without one) and runs it until it ends. Returns the value given to
    // EndDialog (IDOK, IDCANCEL...), or -1 when the dialog could not be created: no template,
    // no display, a parent that is not a window, or the object already running.
    virtual INT_PTR DoModal();

    // Data exchange: true moves the controls' contents into the fields, false the other way.
    bool UpdateData(bool saveAndValidate = true);
    void EndDialog(INT_PTR result);

    HWND GetSafeHwnd() const noexcept { return hwnd_; }
    HWND GetDlgItem(int id) const noexcept;

protected:
    virtual void DoDataExchange(CDataExchange& dx);
    // Fills the controls from the fields; TRUE lets the dialog manager set the focus.
    virtual BOOL OnInitDialog();
    // IDOK: fields from controls, then end with IDOK.
    virtual void OnOK();
    // IDCANCEL (Escape, the close box): end with IDCANCEL.
    virtual void OnCancel();
    // A WM_COMMAND; true when handled.
    virtual bool OnCommand(WORD id, WORD code, HWND control);
    // A WM_NOTIFY; true when handled, with `result` the notification's answer.
    virtual bool OnNotify(const NMHDR& header, LRESULT& result);
    // The dialog became the active window (or stopped being it); true when handled, which leaves
    // the focus where the handler put it.
    virtual bool OnActivate(bool) { return false; }
    // A timer that the dialog set went off.
    virtual void OnTimer(UINT_PTR) {}
    virtual void OnDestroy() {}

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT templateId_;
    HWND parent_;
    HWND hwnd_ = nullptr;
    bool running_ = false;
};

// The module whose resources hold the dialog templates: the one that contains this code.
HINSTANCE DialogResourceModule() noexcept;
