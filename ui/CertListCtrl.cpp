#include "ui/CertListCtrl.h"

#include <cstring>
#include <memory>

int CCertListCtrl::AddColumn(int column, const char* heading, int subItem, UINT mask, int format) {
    LVCOLUMNA item{};
    item.mask = mask;
    item.fmt = format;
    item.cx = GetStringWidth(heading) + 100;
    item.pszText = const_cast<char*>(heading != nullptr ? heading : "");
    item.iSubItem = subItem == -1 ? column : subItem;
    return InsertColumn(column, item);
}

int CCertListCtrl::SetRowText(int row, int column, const char* text, int image) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | (image != -1 ? LVIF_IMAGE : 0u);
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text != nullptr ? text : "");
    item.iImage = image;
    if (column == 0) {
        return InsertItem(item);
    }
    return SetItem(item) ? row : -1;
}

bool CCertListCtrl::SetRowDn(int row, const char* dn, size_t length) {
    auto copy = std::make_unique<char[]>(length + 1);
    std::memcpy(copy.get(), dn, length);
    copy[length] = '\0';
    if (!SetItemData(row, reinterpret_cast<LPARAM>(copy.get()))) {
        return false;
    }
    copy.release(); // now the row's, released by ClearRows
    return true;
}

const char* CCertListCtrl::RowDn(int row) const {
    return reinterpret_cast<const char*>(GetItemData(row));
}

void CCertListCtrl::ClearRows() {
    int count = GetItemCount();
    for (int row = 0; row < count; ++row) {
        char* dn = reinterpret_cast<char*>(GetItemData(row));
        if (dn == nullptr) {
            continue;
        }
        // The row forgets its copy before the copy goes: the list view may notify its owner
        // while rows change, and the owner must never read a released DN.
        SetItemData(row, 0);
        delete[] dn;
    }
    DeleteAllItems();
}
