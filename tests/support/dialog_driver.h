// Dialogs that come up inside a call (the selection dialog of GenerateEx, the site consent dialog
// of a page's first call), driven from a second thread as a person would, and a window standing in
// for the host's. For the tests that run the real dialogs under the test run's display.
#pragma once

#include "ui/resource.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

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

// Polls `done` for up to ten seconds; whether it came to hold.
inline bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        Sleep(10);
    }
    return done();
}

// Makes the dialog the window that keys go to; whether it is.
inline bool BringForward(HWND dialog) {
    SetForegroundWindow(dialog);
    return Eventually([&] { return GetForegroundWindow() == dialog; });
}

// Keys pressed and let go as a person types them: through the system's input queue, to the
// window in the foreground, where the dialog manager reads them as it reads a keyboard's.
inline void TypeKeys(const std::vector<WORD>& keys) {
    std::vector<INPUT> strokes;
    for (WORD key : keys) {
        for (DWORD up : {DWORD(0), DWORD(KEYEVENTF_KEYUP)}) {
            strokes.push_back(INPUT{INPUT_KEYBOARD, {.ki = {key, 0, up, 0, 0}}});
        }
    }
    SendInput(UINT(strokes.size()), strokes.data(), sizeof(INPUT));
}

// A click of the left button at a point of the screen, through the system's input queue.
inline void ClickAt(POINT at) {
    SetCursorPos(at.x, at.y);
    INPUT strokes[2] = {INPUT{INPUT_MOUSE, {.mi = {0, 0, 0, MOUSEEVENTF_LEFTDOWN, 0, 0}}},
                        INPUT{INPUT_MOUSE, {.mi = {0, 0, 0, MOUSEEVENTF_LEFTUP, 0, 0}}}};
    SendInput(2, strokes, sizeof(INPUT));
}

// The middle of a dialog's control on the screen.
inline POINT CentreOf(HWND dialog, int control) {
    RECT at{};
    GetWindowRect(GetDlgItem(dialog, control), &at);
    return POINT{(at.left + at.right) / 2, (at.top + at.bottom) / 2};
}

// A consent answer can be given once the dialog has let the answers be reached.
inline bool AnswersOpen(HWND dialog) {
    return IsWindowEnabled(GetDlgItem(dialog, IDC_CONSENT_DENY)) != FALSE;
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
