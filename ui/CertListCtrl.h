// The certificate list of the selection dialog. Every row carries, as its item data, its own copy
// (new[]) of the row's subject DN; ClearRows releases them, and the dialog calls it before its
// window goes away.
#pragma once

#include "ui/ListCtrl.h"

class CCertListCtrl : public CListCtrl {
public:
    CCertListCtrl() = default;

    // Inserts column `column` with a heading; its width is the heading's text width plus 100
    // pixels. A `subItem` of -1 means the column index. Returns the column's index, or -1.
    int AddColumn(int column, const char* heading, int subItem, UINT mask, int format);

    // Column 0 inserts a new row at `row` with the text; any other column sets that subitem of
    // the row. An image other than -1 is set too. Returns the row's index, or -1.
    int SetRowText(int row, int column, const char* text, int image);

    // Gives the row its DN copy; false (and nothing kept) when the row does not exist.
    bool SetRowDn(int row, const char* dn, size_t length);
    // The row's DN, owned by the row; null when it has none.
    const char* RowDn(int row) const;

    // Releases every row's DN copy, then deletes every row.
    void ClearRows();
};
