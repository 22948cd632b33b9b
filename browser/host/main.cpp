// quillmark-host.exe: the native messaging host. A browser starts it when the Quillmark extension
// first connects, talks to it through its standard input and output, and ends it by closing its
// input. It serves Quillmark.dll from its own folder (browser/host/Host.h).
//
//   quillmark-host.exe [chrome-extension://ID/] [--parent-window=HWND]
//
// Chromium browsers pass the calling extension's origin (and on Windows the window to own the
// host's dialogs); Firefox passes the manifest's path and the extension's ID. Anything else on the
// command line is ignored, as the browsers may add more.
#include "browser/host/Host.h"
#include "browser/host/Protocol.h"
#include "platform/ModuleFile.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>

#define QM_WIDE(text) QM_WIDE_(text)
#define QM_WIDE_(text) L##text
#define QM_VERSION_DOTTED_W QM_WIDE(QM_VERSION_DOTTED)

namespace {

using namespace qm::browser;

constexpr UINT kFrameMessage = WM_APP + 1;      // lParam: a Frame* that the receiver owns
constexpr UINT kInputEndedMessage = WM_APP + 2; // the browser closed the port
// Frames read ahead of the one being served: a page that floods the host waits for it.
constexpr LONG kFramesAhead = 32;

constexpr wchar_t kUsage[] =
    L"quillmark-host " QM_VERSION_DOTTED_W L": Quillmark's native messaging host.\n"
    L"A browser starts it for the Quillmark extension and talks to it through standard input and\n"
    L"output; it serves the Quillmark.dll in its own folder to the browser's pages. It is not\n"
    L"meant to be run by hand.\n"
    L"  --version            print the version and end\n"
    L"  --parent-window=N    the browser's window, to own the dialogs (Chromium passes it)\n";

struct Channel {
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE slots = nullptr; // a semaphore: frames that may be read ahead
    HWND window = nullptr;
};

Channel g_channel;
qm::browser::Host* g_host = nullptr;

bool WriteAll(HANDLE output, const std::string& bytes) {
    const char* data = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(output, data, DWORD(left), &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// Reads frames from the browser and hands them to the window's thread, which serves them.
void ReadFrames(Channel channel) {
    ByteSource read = [&](char* buffer, size_t size) -> size_t {
        DWORD got = 0;
        if (!ReadFile(channel.input, buffer, DWORD(size), &got, nullptr)) {
            return 0;
        }
        return got;
    };
    for (;;) {
        WaitForSingleObject(channel.slots, INFINITE);
        auto frame = std::make_unique<Frame>(ReadFrame(read));
        if (frame->kind == Frame::Kind::End) {
            break;
        }
        while (!PostMessageW(channel.window, kFrameMessage, 0,
                             reinterpret_cast<LPARAM>(frame.get()))) {
            Sleep(10); // the queue is full: the window's thread is behind
        }
        frame.release();
    }
    PostMessageW(channel.window, kInputEndedMessage, 0, 0);
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kFrameMessage: {
        std::unique_ptr<Frame> frame(reinterpret_cast<Frame*>(lParam));
        ReleaseSemaphore(g_channel.slots, 1, nullptr);
        try {
            if (frame->kind == Frame::Kind::Message) {
                g_host->Receive(std::move(frame->body));
            } else {
                g_host->ReceiveTooLarge(*frame);
            }
        } catch (...) {
            // Nothing leaves a window procedure; the page's call goes unanswered, the host stays.
        }
        return 0;
    }
    case kInputEndedMessage:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Standard output carries the protocol alone: the host keeps its own handle to it, and whatever
// else writes to the process's standard output (a library's debugging output) goes nowhere.
HANDLE TakeStandardOutput() {
    HANDLE output = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                         &output, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    std::fflush(stdout);
    int nowhere = _open("NUL", _O_WRONLY | _O_BINARY);
    if (nowhere >= 0) {
        _dup2(nowhere, 1);
        _close(nowhere);
    }
    SetStdHandle(STD_OUTPUT_HANDLE, CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    return output;
}

// The folder of this program, where Quillmark.dll is.
std::wstring OwnFolder() {
    std::wstring path = qm::ModuleFileName(nullptr);
    return path.substr(0, path.find_last_of(L"\\/"));
}

HWND ParentWindow(int argc, wchar_t** argv) {
    constexpr wchar_t kOption[] = L"--parent-window=";
    for (int i = 1; i < argc; ++i) {
        if (std::wcsncmp(argv[i], kOption, std::size(kOption) - 1) == 0) {
            wchar_t* end = nullptr;
            unsigned long long value = std::wcstoull(argv[i] + std::size(kOption) - 1, &end, 10);
            if (end != nullptr && *end == L'\0' && value != 0) {
                return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
            }
        }
    }
    return nullptr;
}

int Serve(HWND parent) {
    g_channel.input = GetStdHandle(STD_INPUT_HANDLE);
    g_channel.output = TakeStandardOutput();
    if (g_channel.output == nullptr) {
        return 1;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        return 1;
    }
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &HostWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QuillmarkHost";
    RegisterClassW(&windowClass);
    g_channel.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0,
                                       HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr);
    g_channel.slots = CreateSemaphoreW(nullptr, kFramesAhead, kFramesAhead, nullptr);
    if (g_channel.window == nullptr || g_channel.slots == nullptr) {
        return 1;
    }

    std::string problem;
    std::unique_ptr<Classes> classes = Classes::Load(OwnFolder(), problem);
    HWND owner = parent != nullptr && IsWindow(parent) ? parent : nullptr;
    {
        Host host(std::move(classes), problem, owner, [](const std::string& body) {
            if (!WriteAll(g_channel.output, EncodeFrame(body))) {
                PostQuitMessage(0); // the browser is gone
            }
        });
        g_host = &host;
        std::thread reader(ReadFrames, g_channel);
        reader.detach(); // it ends with the input, or with the process
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        g_host = nullptr;
    }
    CoUninitialize();
    return 0;
}

} // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr) {
        return 1;
    }
    if (argc >= 2 && (std::wcscmp(argv[1], L"--version") == 0 ||
                      std::wcscmp(argv[1], L"--help") == 0 || std::wcscmp(argv[1], L"-h") == 0)) {
        if (std::wcscmp(argv[1], L"--version") == 0) {
            std::fputws(L"quillmark-host " QM_VERSION_DOTTED_W L"\n", stdout);
        } else {
            std::fputws(kUsage, stdout);
        }
        return 0;
    }
    // A person at a console, not a browser: say what this is rather than wait for frames.
    if (GetFileType(GetStdHandle(STD_INPUT_HANDLE)) == FILE_TYPE_CHAR) {
        std::fputws(kUsage, stderr);
        return 2;
    }
    try {
        return Serve(ParentWindow(argc, argv));
    } catch (...) {
        return 1;
    }
}
