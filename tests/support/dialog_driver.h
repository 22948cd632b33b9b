// Dialogs that come up inside a call (the selection dialog of GenerateEx, the site consent dialog
// of a page's first call, a dialog's own DoModal), driven from a second thread as a person would,
// and a window standing in for the host's. For the tests that run the real dialogs under the test
// run's display.
#pragma once

#include "ui/resource.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

namespace qmtest {

// How a driven dialog went.
struct Driven {
    bool showed = false; // the dialog came up
    bool forced = false; // `act` left it open and the driver cancelled it
};

namespace detail {

inline BOOL CALLBACK FindShownDialog(HWND window, LPARAM param) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, 16);
    if (std::wstring_view(name) == L"#32770" && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// The shown dialog with `caption`, whichever thread shows it (a COM object's dialog comes up on
// its apartment's thread); with no caption, the first dialog that `thread` shows.
inline HWND ShownDialog(DWORD thread, const wchar_t* caption) {
    if (caption != nullptr) {
        HWND dialog = FindWindowW(L"#32770", caption);
        return dialog != nullptr && IsWindowVisible(dialog) ? dialog : nullptr;
    }
    HWND found = nullptr;
    EnumThreadWindows(thread, &FindShownDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace detail

// Runs `call` on this thread while a second thread waits for the dialog (with `caption`, or else
// any that this thread shows) and hands it to `act`; it stops waiting when the call returns
// without one. A dialog that `act` did not end is cancelled ten seconds later, so that a failing
// test cannot hang. `act` runs on the driver's thread: it observes and acts, and the test asserts
// on what it recorded afterwards (GoogleTest's assertions are not thread-safe in this build).
// What `call` returned; `driven`, when given, says how the dialog went.
template <class Call>
auto WhileDialog(const wchar_t* caption, const std::function<void(HWND)>& act, Call call,
                 Driven* driven = nullptr) {
    std::atomic<bool> returned{false};
    const DWORD thread = GetCurrentThreadId();
    Driven seen;
    std::thread driver([&] {
        HWND dialog = nullptr;
        for (int i = 0; i < 2000 && !returned; ++i) {
            if ((dialog = detail::ShownDialog(thread, caption)) != nullptr) {
                break;
            }
            Sleep(10);
        }
        if (dialog == nullptr) {
            return;
        }
        seen.showed = true;
        act(dialog);
        for (int i = 0; i < 1000 && !returned && IsWindow(dialog); ++i) {
            Sleep(10);
        }
        if (!returned && IsWindow(dialog)) {
            seen.forced = true;
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    });
    auto result = call();
    returned = true;
    driver.join();
    if (driven != nullptr) {
        *driven = seen;
    }
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
