// Dialogs that come up inside a call (the selection dialog of GenerateEx, the site consent dialog
// of a page's first call), driven from a second thread as a person would, and a window standing in
// for the host's. For the tests that run the real dialogs under the test run's display.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

namespace qmtest {

// Runs `call` on this thread while a second thread waits for the dialog with `caption` and hands
// it to `act`; it stops waiting when the call returns without one. A dialog that `act` did not end
// is cancelled ten seconds later, so that a failing test cannot hang. What `call` returned.
template <class Call>
auto WhileDialog(const wchar_t* caption, std::function<void(HWND)> act, Call call) {
    std::atomic<bool> returned{false};
    std::thread driver([&] {
        for (int i = 0; i < 400 && !returned; ++i) {
            HWND dialog = FindWindowW(L"#32770", caption);
            if (dialog != nullptr && IsWindowVisible(dialog)) {
                Sleep(50);
                act(dialog);
                for (int j = 0; j < 200 && !returned; ++j) {
                    Sleep(50);
                }
                if (!returned) {
                    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                }
                return;
            }
            Sleep(25);
        }
    });
    auto result = call();
    returned = true;
    driver.join();
    return result;
}

// A shown top-level window standing in for the browser's.
class HostWindow {
public:
    HostWindow(int x, int y, int width, int height)
        : window_(CreateWindowExW(0, L"STATIC", L"host page", WS_OVERLAPPEDWINDOW | WS_VISIBLE, x,
                                  y, width, height, nullptr, nullptr, nullptr, nullptr)) {}
    ~HostWindow() { DestroyWindow(window_); }
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_;
};

} // namespace qmtest
