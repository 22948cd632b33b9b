#include "tests/ui/driver.h"

#include "ui/resource.h"

#include <commctrl.h>

#include <fstream>

namespace uitest {

namespace {

HWND List(HWND dialog) {
    return GetDlgItem(dialog, IDC_CERT_LIST);
}

} // namespace

Run RunDriven(CDialog& dialog, const std::function<void(HWND)>& script) {
    Run run;
    qmtest::Driven driven;
    run.ended = qmtest::WhileDialog(
        nullptr, script, [&] { return dialog.DoModal(); }, &driven);
    run.showed = driven.showed;
    run.forced = driven.forced;
    return run;
}

std::vector<Row> Rows(HWND dialog) {
    HWND list = List(dialog);
    int count = int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<Row> rows;
    for (int row = 0; row < count; ++row) {
        Row texts;
        for (int column = 0; column < 3; ++column) {
            char text[300] = {};
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = int(sizeof(text));
            SendMessageA(list, LVM_GETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&item));
            texts[size_t(column)] = item.pszText;
        }
        rows.push_back(texts);
    }
    return rows;
}

std::string ListHeading(HWND dialog, int column) {
    char text[100] = {};
    LVCOLUMNA item{};
    item.mask = LVCF_TEXT;
    item.pszText = text;
    item.cchTextMax = int(sizeof(text));
    if (SendMessageA(List(dialog), LVM_GETCOLUMNA, WPARAM(column),
                     reinterpret_cast<LPARAM>(&item)) == 0) {
        return "?";
    }
    return item.pszText;
}

int ColumnWidth(HWND dialog, int column) {
    return int(SendMessageA(List(dialog), LVM_GETCOLUMNWIDTH, WPARAM(column), 0));
}

int SelectedRow(HWND dialog) {
    return int(SendMessageA(List(dialog), LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED));
}

std::string DnBox(HWND dialog) {
    char text[600] = {};
    GetWindowTextA(GetDlgItem(dialog, IDC_DN_EDIT), text, int(sizeof(text)));
    return text;
}

bool OkEnabled(HWND dialog) {
    return IsWindowEnabled(GetDlgItem(dialog, IDC_CONFIRM)) != FALSE;
}

void SelectRow(HWND dialog, int row) {
    LVITEMA item{};
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(List(dialog), LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

void ClearSelection(HWND dialog) {
    LVITEMA item{};
    item.state = 0;
    item.stateMask = LVIS_SELECTED;
    SendMessageA(List(dialog), LVM_SETITEMSTATE, WPARAM(-1), reinterpret_cast<LPARAM>(&item));
}

void ClickButton(HWND dialog, int id) {
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void ClickRow(HWND dialog, int row) {
    HWND list = List(dialog);
    RECT bounds{};
    bounds.left = LVIR_LABEL;
    SendMessageA(list, LVM_GETITEMRECT, WPARAM(row), reinterpret_cast<LPARAM>(&bounds));
    LPARAM at = MAKELPARAM((bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2);
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(list, WM_LBUTTONUP, 0, at);
}

void PressKey(HWND dialog, UINT key, int control) {
    HWND target = GetDlgItem(dialog, control);
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, LPARAM(0xC0000001));
}

void CloseBox(HWND dialog) {
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

bool CaptureWindow(HWND window, const std::string& path) {
    RECT bounds{};
    if (!GetWindowRect(window, &bounds)) {
        return false;
    }
    int width = bounds.right - bounds.left;
    int height = bounds.bottom - bounds.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = width;
    header.biHeight = height; // bottom-up, as a BMP file keeps it
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP image = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                     &bits, nullptr, 0);
    bool copied = false;
    if (image != nullptr) {
        HGDIOBJ previous = SelectObject(memory, image);
        copied = BitBlt(memory, 0, 0, width, height, screen, bounds.left, bounds.top, SRCCOPY) != 0;
        GdiFlush();
        SelectObject(memory, previous);
    }
    size_t stride = (size_t(width) * 3 + 3) & ~size_t(3);
    size_t imageSize = stride * size_t(height);
    bool written = false;
    if (copied) {
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42; // "BM"
        file.bfOffBits = sizeof(file) + sizeof(header);
        file.bfSize = DWORD(file.bfOffBits + imageSize);
        header.biSizeImage = DWORD(imageSize);
        std::ofstream out(path.c_str(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(&file), sizeof(file));
        out.write(reinterpret_cast<const char*>(&header), sizeof(header));
        out.write(static_cast<const char*>(bits), std::streamsize(imageSize));
        written = bool(out);
    }
    if (image != nullptr) {
        DeleteObject(image);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return written;
}

} // namespace uitest
