// Runs a modal dialog on the test's thread and drives it from a second thread, as a person would
// (qmtest::WhileDialog, tests/support/dialog_driver.h), and reads the selection dialog's controls
// as a person sees them.
#pragma once

#include "tests/support/dialog_driver.h"
#include "ui/Dialog.h"
#include "ui/resource.h"

#include <windows.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

namespace uitest {

struct Run {
    INT_PTR ended = 0;   // what DoModal returned
    bool showed = false; // the dialog came up
    bool forced = false; // the script left it open and the driver closed it
};

Run RunDriven(CDialog& dialog, const std::function<void(HWND)>& script);

// What a person would see or do, from the driving thread.
using Row = std::array<std::string, 3>;
std::vector<Row> Rows(HWND dialog);
std::string ListHeading(HWND dialog, int column);
int ColumnWidth(HWND dialog, int column);
int SelectedRow(HWND dialog);
std::string DnBox(HWND dialog);
bool OkEnabled(HWND dialog);
void SelectRow(HWND dialog, int row);
void ClearSelection(HWND dialog);
void ClickButton(HWND dialog, int id);
void ClickRow(HWND dialog, int row);
// Posted to a control (the certificate list unless named), through the dialog manager.
void PressKey(HWND dialog, UINT key, int control = IDC_CERT_LIST);
void CloseBox(HWND dialog);

// A 24-bit BMP of the window as the screen shows it. False when it could not be written.
bool CaptureWindow(HWND window, const std::string& path);

} // namespace uitest
