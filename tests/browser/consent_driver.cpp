// Answers the site consent dialog of another process (the native host) as a person does: it waits
// for the dialog, waits until its answers can be reached and a quiet second has passed, and clicks
// the answer with the mouse through the system's input queue. It prints the origin that the dialog
// named, so that the test can check it. The one place where the browser tests meet the dialog.
//
//   consent_driver.exe deny|once [SECONDS]     (exit status 0: answered; 1: no dialog came)
#include "tests/support/dialog_driver.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kCaption[] = L"사이트 허용 확인";
constexpr int kOriginBox = 211;

// ASCII for the console (Wine's console runs in code page 949).
std::string Printable(const wchar_t* text) {
    std::string out;
    for (; *text != L'\0'; ++text) {
        if (*text >= 0x20 && *text < 0x7F) {
            out += char(*text);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", unsigned(*text));
            out += escaped;
        }
    }
    return out;
}

// A press and a release of the left button at the middle of the control, on the screen.
void Click(HWND control) {
    RECT at{};
    GetWindowRect(control, &at);
    const int x = (at.left + at.right) / 2;
    const int y = (at.top + at.bottom) / 2;
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    INPUT moves[3]{};
    for (INPUT& input : moves) {
        input.type = INPUT_MOUSE;
        input.mi.dx = LONG(x * 65535 / (width - 1));
        input.mi.dy = LONG(y * 65535 / (height - 1));
    }
    moves[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    moves[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    moves[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &moves[0], sizeof(INPUT));
    Sleep(100);
    SendInput(2, &moves[1], sizeof(INPUT));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2 || (std::wcscmp(argv[1], L"deny") != 0 && std::wcscmp(argv[1], L"once") != 0)) {
        std::fprintf(stderr, "usage: consent_driver deny|once [SECONDS]\n");
        return 2;
    }
    const int answer = std::wcscmp(argv[1], L"deny") == 0 ? IDC_CONSENT_DENY : IDC_CONSENT_ALLOW;
    const DWORD seconds = argc >= 3 ? DWORD(std::wcstoul(argv[2], nullptr, 10)) : 60;
    HWND dialog = nullptr;
    for (DWORD waited = 0; waited < seconds * 1000; waited += 50) {
        dialog = FindWindowW(L"#32770", kCaption);
        if (dialog != nullptr && IsWindowVisible(dialog)) {
            break;
        }
        dialog = nullptr;
        Sleep(50);
    }
    if (dialog == nullptr) {
        std::printf("consent: no dialog came\n");
        return 1;
    }
    wchar_t origin[512] = {};
    GetDlgItemTextW(dialog, kOriginBox, origin, 512);
    if (!qmtest::Eventually([&] { return qmtest::AnswersOpen(dialog); })) {
        std::printf("consent: the answers never opened\n");
        return 1;
    }
    Sleep(1000); // a person reads before clicking
    qmtest::BringForward(dialog);
    Click(GetDlgItem(dialog, answer));
    const bool ended =
        qmtest::Eventually([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); });
    std::printf("consent: origin=%s answer=%s%s\n", Printable(origin).c_str(),
                answer == IDC_CONSENT_DENY ? "deny" : "once", ended ? "" : " (still open)");
    return ended ? 0 : 1;
}
