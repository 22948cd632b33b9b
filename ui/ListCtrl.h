// A thin wrapper over a report-style list view (SysListView32) owned by a dialog. It uses the
// ANSI ("A") messages: the texts it carries are narrow strings in the system's ANSI code page.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>

class CListCtrl {
public:
    CListCtrl() = default;
    CListCtrl(const CListCtrl&) = delete;
    CListCtrl& operator=(const CListCtrl&) = delete;
    virtual ~CListCtrl() = default;

    void Attach(HWND window) noexcept { hwnd_ = window; }
    void Detach() noexcept { hwnd_ = nullptr; }
    HWND GetSafeHwnd() const noexcept { return hwnd_; }

    // Columns.
    int InsertColumn(int index, const LVCOLUMNA& column);
    int GetStringWidth(const char* text) const;
    bool SetColumnWidth(int column, int width);

    // Rows. InsertItem returns the new row's index, or -1.
    int InsertItem(const LVITEMA& item);
    bool SetItem(const LVITEMA& item);
    bool DeleteItem(int row);
    bool DeleteAllItems();
    int GetItemCount() const;
    std::string GetItemText(int row, int column) const;

    // The per-row value the owner keeps with a row; 0 when none or when the row does not exist.
    LPARAM GetItemData(int row) const;
    bool SetItemData(int row, LPARAM data);

    // Selection. GetNextItem returns -1 when no row matches.
    bool SetItemState(int row, UINT state, UINT mask);
    int GetNextItem(int start, UINT flags) const;

    DWORD GetExtendedStyle() const;
    void SetExtendedStyle(DWORD styles);

protected:
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) const;

private:
    HWND hwnd_ = nullptr;
};
