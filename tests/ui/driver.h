// Runs a modal dialog on the test's thread and drives it from a second thread, as a person would
// (qmtest::WhileDialog, tests/support/dialog_driver.h), and reads the selection dialog's controls
// as a person sees them. Beside the store double (tests/support/store_double.h), what else the
// dialogs' tests share: the dates that the store writes into its records, and a count of the
// program's array allocations.
#pragma once

#include "tests/support/dialog_driver.h"
#include "ui/Dialog.h"
#include "ui/resource.h"

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace uitest {

// Noon of a day, local time, as the store's 32-bit expiry.
inline int32_t LocalNoon(int year, int month, int day) {
    struct tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    return int32_t(_mktime64(&local));
}

// Array allocations (new[]) of the whole program while counting is on: the dialog's DN copies,
// its result block and its record area are all made that way. A record area (30 records) always
// ends at a page that cannot be read, so that reading past it crashes the test (ui_helpers.cpp).
struct allocations {
    static inline std::atomic<bool> counting{false};
    static inline std::atomic<long> live{0};
    static void Start() {
        live = 0;
        counting = true;
    }
    static void Stop() { counting = false; }
    static long Live() { return live.load(); } // made minus released since Start
};

// How the driven dialog went, and what DoModal returned.
struct Run : qmtest::Driven {
    INT_PTR ended = 0;
};

inline Run RunDriven(CDialog& dialog, const std::function<void(HWND)>& script) {
    Run run;
    run.ended = qmtest::WhileDialog(
        nullptr, script, [&] { return dialog.DoModal(); }, &run);
    return run;
}

// What a person would see or do, from the driving thread.
using Row = std::array<std::string, 3>;

inline LRESULT ToList(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam = 0) {
    return SendMessageA(GetDlgItem(dialog, IDC_CERT_LIST), message, wparam, lparam);
}

inline std::vector<Row> Rows(HWND dialog) {
    std::vector<Row> rows(size_t(ToList(dialog, LVM_GETITEMCOUNT, 0)));
    for (size_t row = 0; row < rows.size(); ++row) {
        for (int column = 0; column < 3; ++column) {
            char text[300] = {};
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = int(sizeof(text));
            ToList(dialog, LVM_GETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&item));
            rows[row][size_t(column)] = item.pszText;
        }
    }
    return rows;
}

inline std::string ListHeading(HWND dialog, int column) {
    char text[100] = {};
    LVCOLUMNA item{};
    item.mask = LVCF_TEXT;
    item.pszText = text;
    item.cchTextMax = int(sizeof(text));
    return ToList(dialog, LVM_GETCOLUMNA, WPARAM(column), reinterpret_cast<LPARAM>(&item)) != 0
               ? item.pszText
               : "?";
}

inline int ColumnWidth(HWND dialog, int column) {
    return int(ToList(dialog, LVM_GETCOLUMNWIDTH, WPARAM(column)));
}

inline int SelectedRow(HWND dialog) {
    return int(ToList(dialog, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
}

inline std::wstring TextOf(HWND window) {
    wchar_t text[400] = {};
    GetWindowTextW(window, text, 400);
    return text;
}

inline std::string DnBox(HWND dialog) {
    char text[600] = {};
    GetWindowTextA(GetDlgItem(dialog, IDC_DN_EDIT), text, int(sizeof(text)));
    return text;
}

inline bool OkEnabled(HWND dialog) {
    return IsWindowEnabled(GetDlgItem(dialog, IDC_CONFIRM)) != FALSE;
}

// Sets the `mask` states of a row (of every row for -1) to `state`.
inline void SetRowState(HWND dialog, int row, UINT state, UINT mask) {
    LVITEMA item{};
    item.state = state;
    item.stateMask = mask;
    ToList(dialog, LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

inline void SelectRow(HWND dialog, int row) {
    SetRowState(dialog, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

inline void ClearSelection(HWND dialog) {
    SetRowState(dialog, -1, 0, LVIS_SELECTED);
}

inline void ClickButton(HWND dialog, int id) {
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// A script that clicks the buttons in turn.
inline std::function<void(HWND)> Clicking(std::vector<int> ids) {
    return [ids](HWND dialog) {
        for (int id : ids) {
            ClickButton(dialog, id);
        }
    };
}

inline void ClickRow(HWND dialog, int row) {
    RECT bounds{LVIR_LABEL, 0, 0, 0};
    ToList(dialog, LVM_GETITEMRECT, WPARAM(row), reinterpret_cast<LPARAM>(&bounds));
    LPARAM at = MAKELPARAM((bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2);
    PostMessageW(GetDlgItem(dialog, IDC_CERT_LIST), WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(GetDlgItem(dialog, IDC_CERT_LIST), WM_LBUTTONUP, 0, at);
}

// Posted to a control (the certificate list unless named), through the dialog manager.
inline void PressKey(HWND dialog, UINT key, int control = IDC_CERT_LIST) {
    PostMessageW(GetDlgItem(dialog, control), WM_KEYDOWN, key, 1);
    PostMessageW(GetDlgItem(dialog, control), WM_KEYUP, key, LPARAM(0xC0000001));
}

inline void CloseBox(HWND dialog) {
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

// The window repainted and, once the display has caught up, written as the screen shows it to a
// 24-bit BMP. False when it could not be written.
inline bool CaptureWindow(HWND window, const std::string& path) {
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(700);
    RECT at{};
    GetWindowRect(window, &at);
    const LONG width = at.right - at.left, height = at.bottom - at.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    // Bottom-up, as a BMP file keeps it; each line of pixels padded to four bytes.
    const DWORD size = DWORD((width * 3 + 3) & ~3) * DWORD(height);
    BITMAPINFOHEADER header{sizeof(header), width, height, 1, 24, BI_RGB, size, 0, 0, 0, 0};
    const DWORD offset = sizeof(BITMAPFILEHEADER) + sizeof(header);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP image = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                     &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, image);
    bool written =
        image != nullptr && BitBlt(memory, 0, 0, width, height, screen, at.left, at.top, SRCCOPY);
    GdiFlush();
    if (written) {
        BITMAPFILEHEADER file{0x4D42 /* "BM" */, offset + size, 0, 0, offset};
        std::ofstream out(path.c_str(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(&file), sizeof(file));
        out.write(reinterpret_cast<const char*>(&header), sizeof(header));
        out.write(static_cast<const char*>(bits), std::streamsize(size));
        written = bool(out);
    }
    SelectObject(memory, previous);
    DeleteObject(image);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

} // namespace uitest
