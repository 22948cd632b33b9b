#include "ui/Dialog.h"

#include "ui/ListCtrl.h"

#include <algorithm>
#include <vector>

namespace {

// An address inside this module, to find the module's handle.
void ModuleAnchor() {}

// The rectangle a dialog is centred on: its owner's window when the owner is shown and not
// minimised, otherwise the work area of the screen the owner (or the dialog) is on.
RECT CentringFrame(HWND dialog) {
    HWND owner = GetWindow(dialog, GW_OWNER);
    RECT frame{};
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner) &&
        GetWindowRect(owner, &frame)) {
        return frame;
    }
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : dialog, MONITOR_DEFAULTTOPRIMARY),
                    &monitor);
    return monitor.rcWork;
}

// Centres the dialog over its owner (or the screen), kept inside the work area so that a small or
// half-hidden owner cannot push the buttons off the screen.
void Centre(HWND dialog) {
    RECT own{};
    if (!GetWindowRect(dialog, &own)) {
        return;
    }
    RECT frame = CentringFrame(dialog);
    int width = own.right - own.left;
    int height = own.bottom - own.top;
    int x = frame.left + (frame.right - frame.left - width) / 2;
    int y = frame.top + (frame.bottom - frame.top - height) / 2;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoW(MonitorFromRect(&frame, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& work = monitor.rcWork;
        x = std::max<int>(work.left, std::min<int>(x, work.right - width));
        y = std::max<int>(work.top, std::min<int>(y, work.bottom - height));
    }
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

HINSTANCE DialogResourceModule() noexcept {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleAnchor), &self)) {
        return nullptr;
    }
    return self;
}

void CDataExchange::Control(int id, CListCtrl& list) const {
    if (list.GetSafeHwnd() == nullptr) {
        list.Attach(::GetDlgItem(dialog_, id));
    }
}

void CDataExchange::Text(int id, std::string& value) const {
    HWND control = ::GetDlgItem(dialog_, id);
    if (control == nullptr) {
        return;
    }
    if (!saving_) {
        SetWindowTextA(control, value.c_str());
        return;
    }
    // The length in narrow characters can exceed the control's count of its own characters;
    // GetWindowTextLengthA answers in narrow characters, with room to spare on mixed text.
    int length = GetWindowTextLengthA(control);
    std::vector<char> text(size_t(length > 0 ? length : 0) + 1, '\0');
    int copied = GetWindowTextA(control, text.data(), int(text.size()));
    value.assign(text.data(), size_t(copied > 0 ? copied : 0));
}

INT_PTR CDialog::DoModal() {
    if (running_ || hwnd_ != nullptr) {
        return -1;
    }
    if (parent_ != nullptr && !IsWindow(parent_)) {
        return -1;
    }
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE module = DialogResourceModule();
    if (module == nullptr) {
        return -1;
    }
    running_ = true;
    INT_PTR result = DialogBoxParamW(module, MAKEINTRESOURCEW(templateId_), parent_, &DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    running_ = false;
    hwnd_ = nullptr;
    return result;
}

bool CDialog::UpdateData(bool saveAndValidate) {
    if (hwnd_ == nullptr) {
        return false;
    }
    CDataExchange dx(hwnd_, saveAndValidate);
    DoDataExchange(dx);
    return true;
}

void CDialog::EndDialog(INT_PTR result) {
    if (hwnd_ != nullptr) {
        ::EndDialog(hwnd_, result);
    }
}

HWND CDialog::GetDlgItem(int id) const noexcept {
    return hwnd_ != nullptr ? ::GetDlgItem(hwnd_, id) : nullptr;
}

void CDialog::DoDataExchange(CDataExchange&) {}

BOOL CDialog::OnInitDialog() {
    UpdateData(false);
    return TRUE;
}

void CDialog::OnOK() {
    if (UpdateData(true)) {
        EndDialog(IDOK);
    }
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

bool CDialog::OnCommand(WORD id, WORD code, HWND) {
    // Enter with no usable default button, Escape and the close box arrive as these two.
    if (code == BN_CLICKED && id == IDOK) {
        OnOK();
        return true;
    }
    if (code == BN_CLICKED && id == IDCANCEL) {
        OnCancel();
        return true;
    }
    return false;
}

bool CDialog::OnNotify(const NMHDR&, LRESULT&) {
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->hwnd_ = window;
    }
    auto* self = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) {
        return FALSE;
    }
    INT_PTR handled = FALSE;
    // Nothing may unwind into the dialog manager: a failure inside a handler ends the run as a
    // dialog that could not do its work.
    try {
        handled = self->Dispatch(message, wParam, lParam);
    } catch (...) {
        ::EndDialog(window, -1);
        handled = TRUE;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, DWLP_USER, 0);
        self->hwnd_ = nullptr;
    }
    return handled;
}

INT_PTR CDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        BOOL focusDefault = OnInitDialog();
        Centre(hwnd_);
        return focusDefault;
    }
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE
                                                                                         : FALSE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        LRESULT result = 0;
        if (header == nullptr || !OnNotify(*header, result)) {
            return FALSE;
        }
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    case WM_ACTIVATE:
        return OnActivate(LOWORD(wParam) != WA_INACTIVE) ? TRUE : FALSE;
    case WM_TIMER:
        OnTimer(wParam);
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return FALSE;
    default:
        return FALSE;
    }
}
