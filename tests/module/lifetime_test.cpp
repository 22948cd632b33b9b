// The instance count across processes and the closing of the session manager's windows, with
// real processes loading and unloading Quillmark.dll and real dialog windows titled "TesselSM";
// and where such a process finds the engine and the store, with a stranger's DLLs planted under
// their names. Needs a display.
#include "tests/module/built_module.h"
#include "tests/support/temp_dir.h"

#include "platform/ModuleFile.h"
#include "platform/StringConversion.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring HostPath() {
    std::wstring path = qm::ModuleFileName(nullptr);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"qm_module_host.exe";
}

// A running qm_module_host, in this process's current folder or the one given.
struct Host : qmtest::ChildProcess {
    explicit Host(const std::string& arguments, const wchar_t* currentFolder = nullptr)
        : ChildProcess(L"\"" + HostPath() + L"\" " +
                           std::wstring(arguments.begin(), arguments.end()),
                       currentFolder) {}
};

std::string DllArgument() {
    return "\"" + qm::Utf16ToAnsi(qmtest::ModulePath()) + "\"";
}

// A dialog template in memory: no controls, the given caption, the platform's dialog class.
struct DialogTemplate {
    alignas(4) WORD words[64] = {};
    explicit DialogTemplate(const wchar_t* caption) {
        auto* header = reinterpret_cast<DLGTEMPLATE*>(words);
        header->style = WS_POPUP | WS_CAPTION | WS_VISIBLE;
        header->cx = 120;
        header->cy = 40;
        WORD* p = reinterpret_cast<WORD*>(header + 1);
        *p++ = 0; // no menu
        *p++ = 0; // the default dialog class, "#32770"
        while ((*p++ = *caption++) != 0) {
        }
    }
};

INT_PTR CALLBACK ClosesOnRequest(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return TRUE;
    }
    return message == WM_INITDIALOG;
}

INT_PTR CALLBACK RefusesToClose(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_CLOSE || message == WM_INITDIALOG;
}

// Top-level windows owned by a thread of their own, which pumps messages until it is told to
// stop (or, for `hung`, never pumps at all until then). Windows of a thread die with it.
class WindowThread {
public:
    struct Window {
        const wchar_t* title;
        DLGPROC proc; // a dialog; or null for a plain window of another class
    };

    WindowThread(std::vector<Window> plan, bool hung) : plan_(std::move(plan)), hung_(hung) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] { Run(); });
        WaitForSingleObject(ready_, 10000);
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;
    ~WindowThread() {
        SetEvent(stop_);
        PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
        thread_.join();
        CloseHandle(ready_);
        CloseHandle(stop_);
    }

    bool IsOpen(size_t i) const { return IsWindow(windows_[i]) != FALSE; }

private:
    void Run() {
        threadId_ = GetCurrentThreadId();
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue exists now
        for (const Window& planned : plan_) {
            if (planned.proc != nullptr) {
                DialogTemplate dialog(planned.title);
                windows_.push_back(CreateDialogIndirectParamW(
                    GetModuleHandleW(nullptr), reinterpret_cast<DLGTEMPLATE*>(dialog.words),
                    nullptr, planned.proc, 0));
            } else {
                windows_.push_back(CreateWindowExW(0, L"Static", planned.title,
                                                   WS_POPUP | WS_VISIBLE, 0, 0, 50, 20, nullptr,
                                                   nullptr, nullptr, nullptr));
            }
        }
        SetEvent(ready_);
        if (hung_) {
            WaitForSingleObject(stop_, INFINITE);
            return;
        }
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    std::vector<Window> plan_;
    bool hung_;
    std::vector<HWND> windows_;
    HANDLE ready_ = nullptr;
    HANDLE stop_ = nullptr;
    DWORD threadId_ = 0;
    std::thread thread_;
};

class InstanceCount : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(FindWindowW(L"#32770", L"TesselSM"), nullptr) << "a session manager is open";
        qmtest::WriteCount(0);
    }
};

} // namespace

TEST_F(InstanceCount, ConcurrentStartsAndStopsLoseNoUpdate) {
    qmtest::WriteCount(5);
    std::vector<std::unique_ptr<Host>> hosts;
    for (int i = 0; i < 6; ++i) {
        hosts.push_back(std::make_unique<Host>("cycles " + DllArgument() + " 12"));
        ASSERT_TRUE(hosts.back()->started());
    }
    for (auto& host : hosts) {
        EXPECT_EQ(host->Wait(240000), 0);
    }
    EXPECT_EQ(qmtest::ReadCount(), 5);
}

TEST_F(InstanceCount, SessionManagerWindowsCloseOnlyAtTheLastUnload) {
    WindowThread windows({{L"TesselSM", &ClosesOnRequest},
                          {L"TesselSM", &ClosesOnRequest},
                          {L"TesselSM2", &ClosesOnRequest},
                          {L"Other", &ClosesOnRequest},
                          {L"TesselSM", nullptr}}, // another class
                         false);
    for (size_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(windows.IsOpen(i)) << i;
    }

    HMODULE module = LoadLibraryW(qmtest::ModulePath().c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(qmtest::ReadCount(), 1);

    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "QmTestHostReady");
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, "QmTestHostRelease");
    Host host("hold " + DllArgument() + " QmTestHostReady QmTestHostRelease");
    ASSERT_EQ(WaitForSingleObject(ready, 30000), WAIT_OBJECT_0);
    EXPECT_EQ(qmtest::ReadCount(), 2);

    FreeLibrary(module);
    EXPECT_EQ(qmtest::ReadCount(), 1);
    EXPECT_TRUE(windows.IsOpen(0));
    EXPECT_TRUE(windows.IsOpen(1));

    SetEvent(release);
    EXPECT_EQ(host.Wait(30000), 0);
    EXPECT_EQ(qmtest::ReadCount(), 0);
    EXPECT_FALSE(windows.IsOpen(0));
    EXPECT_FALSE(windows.IsOpen(1));
    EXPECT_TRUE(windows.IsOpen(2)) << "a dialog with another title was closed";
    EXPECT_TRUE(windows.IsOpen(3)) << "a dialog with another title was closed";
    EXPECT_TRUE(windows.IsOpen(4)) << "a window of another class was closed";
    CloseHandle(ready);
    CloseHandle(release);
}

TEST_F(InstanceCount, ARefusingOrHungWindowDelaysTheLastUnloadOnlyBriefly) {
    WindowThread pumping({{L"TesselSM", &ClosesOnRequest}, {L"TesselSM", &RefusesToClose}}, false);
    WindowThread hung({{L"TesselSM", &ClosesOnRequest}}, true);

    HMODULE module = LoadLibraryW(qmtest::ModulePath().c_str());
    ASSERT_NE(module, nullptr);
    auto start = std::chrono::steady_clock::now();
    FreeLibrary(module);
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();

    EXPECT_EQ(qmtest::ReadCount(), 0);
    EXPECT_FALSE(pumping.IsOpen(0)) << "the window that accepts was not reached";
    EXPECT_TRUE(pumping.IsOpen(1));
    EXPECT_TRUE(hung.IsOpen(0));
    // The stop gives all close requests 3 s together; far below that would be the unbounded wait.
    EXPECT_LT(elapsed, 10000);
}

TEST_F(InstanceCount, AProcessThatEndsWithTheLibraryLoadedStillCountsDown) {
    WindowThread windows({{L"TesselSM", &ClosesOnRequest}}, false);
    Host host("exit " + DllArgument());
    EXPECT_EQ(host.Wait(30000), 0);
    EXPECT_EQ(qmtest::ReadCount(), 0);
    EXPECT_FALSE(windows.IsOpen(0));
}

TEST_F(InstanceCount, NeverGoesBelowZero) {
    Host host("cycles " + DllArgument() + " 1");
    EXPECT_EQ(host.Wait(30000), 0);
    EXPECT_EQ(qmtest::ReadCount(), 0);
    qmtest::WriteCount(-3); // set by hand
    HMODULE module = LoadLibraryW(qmtest::ModulePath().c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(qmtest::ReadCount(), 1);
    FreeLibrary(module);
    EXPECT_EQ(qmtest::ReadCount(), 0);
}

namespace {

namespace fs = std::filesystem;

// An environment variable with text put before its value while the object lives, for the
// processes started meanwhile.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const std::wstring& text) : name_(name) {
        DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
        if (n > 0) {
            saved_.resize(n);
            saved_.resize(GetEnvironmentVariableW(name, saved_.data(), n));
        }
        had_ = n > 0;
        SetEnvironmentVariableW(name, (text + saved_).c_str());
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;
    ~ScopedVariable() { SetEnvironmentVariableW(name_, had_ ? saved_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    std::wstring saved_;
    bool had_ = false;
};

// A host process whose current folder and PATH hold a stranger's DLLs named Corvane.dll and
// Ledra.dll, which leave a marker file when loaded. Quillmark.dll is a copy in a folder of its
// own, beside which a test puts the engine and the store, damaged ones or none.
class PlantedLibraries : public ::testing::Test {
protected:
    qmtest::TempDir root{"qm-planted"};
    fs::path app, current, onPath;

    void SetUp() override {
        app = root / "app";
        current = root / "current";
        onPath = root / "path";
        for (const fs::path& folder : {app, current, onPath}) {
            fs::create_directories(folder);
        }
        fs::copy_file(qmtest::ModulePath(), app / "Quillmark.dll");
        for (const fs::path& folder : {current, onPath}) {
            for (const char* name : {"Corvane.dll", "Ledra.dll"}) {
                fs::copy_file(qmtest::DosPath(QM_PLANTED_DLL), folder / name);
            }
        }
    }

    // The marker files of planted DLLs that were loaded.
    std::vector<std::string> Loaded() const {
        std::vector<std::string> found;
        for (const fs::path& folder : {current, onPath}) {
            for (const auto& entry : fs::directory_iterator(folder)) {
                if (entry.path().extension() == ".loaded") {
                    found.push_back(entry.path().string());
                }
            }
        }
        return found;
    }

    void Damage(const char* name) {
        std::ofstream(app / name, std::ios::binary) << "MZ, but nothing a loader can map";
    }
    void PutBeside(const char* name) {
        fs::copy_file(fs::path(qmtest::DosPath(QM_BIN_DIR)) / name, app / name,
                      fs::copy_options::overwrite_existing);
    }

    // Runs the host with the plants in its current folder and first on its PATH.
    int Run(const std::string& arguments) {
        ScopedVariable path(L"PATH", onPath.wstring() + L";");
        Host host(arguments, current.c_str());
        EXPECT_TRUE(host.started());
        return host.Wait(60000);
    }
    std::string Encode() { return "encode \"" + (app / "Quillmark.dll").string() + "\""; }

    // Has the host encode with the plants in its current folder and on PATH, then on PATH only:
    // it ends with `outcome` each time, and no plant ever runs.
    void ExpectNoPlantRuns(int outcome) {
        EXPECT_EQ(outcome, Run(Encode()));
        EXPECT_EQ(std::vector<std::string>{}, Loaded());
        fs::remove(current / "Corvane.dll");
        fs::remove(current / "Ledra.dll");
        EXPECT_EQ(outcome, Run(Encode()));
        EXPECT_EQ(std::vector<std::string>{}, Loaded());
    }
};

TEST_F(PlantedLibraries, ABareNameSearchFromTheHostReachesThem) {
    // The premise of the attacks below: a search by bare name, as the binding once fell back to,
    // loads the plant from the current folder, or else from PATH.
    EXPECT_EQ(0, Run("bare Corvane.dll"));
    EXPECT_TRUE(fs::exists(current / "Corvane.dll.loaded"));
    fs::remove(current / "Ledra.dll");
    EXPECT_EQ(0, Run("bare Ledra.dll"));
    EXPECT_TRUE(fs::exists(onPath / "Ledra.dll.loaded"));
}

TEST_F(PlantedLibraries, AreNeverLoadedWhenTheLibrariesBesideTheModuleAreMissing) {
    ExpectNoPlantRuns(10); // no engine: a visible failure, no text; and no crash
    // Every method that needs a library says that it could not be loaded.
    EXPECT_EQ(0, Run("unbound \"" + (app / "Quillmark.dll").string() + "\""));
}

TEST_F(PlantedLibraries, AreNeverLoadedWhenTheLibrariesBesideTheModuleAreDamaged) {
    Damage("Corvane.dll");
    Damage("Ledra.dll");
    ExpectNoPlantRuns(10); // a damaged engine is no engine
}

TEST_F(PlantedLibraries, LoseToTheLibrariesBesideTheModule) {
    PutBeside("Corvane.dll");
    PutBeside("Ledra.dll");
    ExpectNoPlantRuns(0);
}

} // namespace
