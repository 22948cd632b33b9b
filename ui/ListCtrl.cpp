#include "ui/ListCtrl.h"

#include <vector>

LRESULT CListCtrl::Send(UINT message, WPARAM wParam, LPARAM lParam) const {
    return hwnd_ != nullptr ? SendMessageA(hwnd_, message, wParam, lParam) : 0;
}

int CListCtrl::InsertColumn(int index, const LVCOLUMNA& column) {
    if (hwnd_ == nullptr) {
        return -1;
    }
    return int(Send(LVM_INSERTCOLUMNA, WPARAM(index), reinterpret_cast<LPARAM>(&column)));
}

int CListCtrl::GetStringWidth(const char* text) const {
    return int(Send(LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(text != nullptr ? text : "")));
}

bool CListCtrl::SetColumnWidth(int column, int width) {
    return Send(LVM_SETCOLUMNWIDTH, WPARAM(column), MAKELPARAM(width, 0)) != 0;
}

int CListCtrl::InsertItem(const LVITEMA& item) {
    if (hwnd_ == nullptr) {
        return -1;
    }
    return int(Send(LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

bool CListCtrl::SetItem(const LVITEMA& item) {
    return Send(LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

bool CListCtrl::DeleteItem(int row) {
    return Send(LVM_DELETEITEM, WPARAM(row), 0) != 0;
}

bool CListCtrl::DeleteAllItems() {
    return Send(LVM_DELETEALLITEMS, 0, 0) != 0;
}

int CListCtrl::GetItemCount() const {
    return int(Send(LVM_GETITEMCOUNT, 0, 0));
}

std::string CListCtrl::GetItemText(int row, int column) const {
    // The list view copies at most the buffer's size; grow until the text fits with room left.
    std::vector<char> text(128);
    for (;;) {
        LVITEMA item{};
        item.iSubItem = column;
        item.pszText = text.data();
        item.cchTextMax = int(text.size());
        int copied = int(Send(LVM_GETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&item)));
        if (copied < 0) {
            return {};
        }
        if (size_t(copied) + 1 < text.size() || text.size() >= 65536) {
            return std::string(item.pszText != nullptr ? item.pszText : "");
        }
        text.assign(text.size() * 2, '\0');
    }
}

LPARAM CListCtrl::GetItemData(int row) const {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (Send(LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)) == 0) {
        return 0;
    }
    return item.lParam;
}

bool CListCtrl::SetItemData(int row, LPARAM data) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    item.lParam = data;
    return SetItem(item);
}

bool CListCtrl::SetItemState(int row, UINT state, UINT mask) {
    LVITEMA item{};
    item.state = state;
    item.stateMask = mask;
    return Send(LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(&item)) != 0;
}

int CListCtrl::GetNextItem(int start, UINT flags) const {
    if (hwnd_ == nullptr) {
        return -1;
    }
    return int(Send(LVM_GETNEXTITEM, WPARAM(start), MAKELPARAM(flags, 0)));
}

DWORD CListCtrl::GetExtendedStyle() const {
    return DWORD(Send(LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
}

void CListCtrl::SetExtendedStyle(DWORD styles) {
    Send(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LPARAM(styles));
}
