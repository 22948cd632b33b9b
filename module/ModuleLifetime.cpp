#include "module/ModuleLifetime.h"

#include "automation/QuillmarkInterfaces.h"
#include "external/store.h"
#include "module/ClassTable.h"
#include "platform/Raii.h"

#include <atomic>
#include <climits>
#include <cstdint>

namespace qm::lifetime {
namespace {

constexpr char kCountKeyPath[] = "SOFTWARE\\TesselCorp\\Oriel\\Veyra";
constexpr char kCountKey[] = "Veyra";
constexpr char kCountValue[] = "Count";
constexpr char kSessionManagerClass[] = "#32770";
constexpr char kSessionManagerTitle[] = "TesselSM";

// Static objects: built before DllMain first runs, destroyed after the last stop.
CriticalSection g_moduleLock;
std::atomic<uint8_t> g_moduleBusy{0};

// The counted section of a start or stop, exclusive among the threads of this process. At
// process exit the other threads are gone (possibly killed inside a lock), so nothing is taken.
class ModuleSection {
public:
    explicit ModuleSection(bool processExit) : exclusive_(!processExit) {
        if (!exclusive_) {
            return;
        }
        while (g_moduleBusy.load() != 0) {
            Sleep(0);
        }
        g_moduleLock.Enter();
        g_moduleBusy.store(1);
    }
    ModuleSection(const ModuleSection&) = delete;
    ModuleSection& operator=(const ModuleSection&) = delete;
    ~ModuleSection() {
        if (exclusive_) {
            g_moduleBusy.store(0);
            g_moduleLock.Leave();
        }
    }

private:
    bool exclusive_;
};

// The count's read, change and store, exclusive across processes. The wait is bounded: the
// loader lock is held. When it runs out the update goes ahead unguarded, as it would without the
// mutex.
class CountGuard : public NamedMutexLock {
public:
    CountGuard() : NamedMutexLock(kCountMutexName, kCountWaitMs) {}
};

HWND FindSessionManager(HWND after) {
    return FindWindowExA(nullptr, after, kSessionManagerClass, kSessionManagerTitle);
}

int32_t ReadCount() {
    int32_t count = 0;
    Store().LD_GetRegValueN(kCountKey, kCountValue, &count);
    return count < 0 ? 0 : count; // a count set below 0 by hand counts as none
}

// Asks every session-manager window to close. Each window is asked once and given at most
// kCloseRequestMs to handle the request; all requests together stop after kCloseBudgetMs. A
// window that refuses, or whose owner hangs, stays open and delays the unload only that long.
void CloseSessionManagers() {
    HWND asked[kCloseWindowLimit];
    int askedCount = 0;
    auto wasAsked = [&](HWND window) {
        for (int i = 0; i < askedCount; ++i) {
            if (asked[i] == window) {
                return true;
            }
        }
        return false;
    };
    ULONGLONG start = GetTickCount64();
    while (askedCount < kCloseWindowLimit) {
        HWND window = FindSessionManager(nullptr);
        while (window != nullptr && wasAsked(window)) {
            window = FindSessionManager(window);
        }
        if (window == nullptr) {
            return;
        }
        ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= kCloseBudgetMs) {
            return;
        }
        asked[askedCount++] = window;
        DWORD timeout = static_cast<DWORD>(kCloseBudgetMs - elapsed);
        if (timeout > kCloseRequestMs) {
            timeout = kCloseRequestMs;
        }
        DWORD_PTR result = 0;
        SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, timeout,
                            &result);
    }
}

} // namespace

void ModuleStart(HINSTANCE instance) noexcept {
    {
        ModuleSection section(false);
        CountGuard guard;
        const StoreApi& store = Store();
        if (FindSessionManager(nullptr) == nullptr &&
            store.LD_IsRegKey(kCountKeyPath, kCountValue) == 0) {
            store.LD_SetRegValueN(kCountKey, kCountValue, 0);
        }
        int32_t count = ReadCount();
        store.LD_SetRegValueN(kCountKey, kCountValue, count == INT32_MAX ? count : count + 1);
    }
    classes::Start(instance);
    classes::SetTypeLibrary(LIBID_QUILLMARKLib);
}

void ModuleStop(bool processExit) noexcept {
    {
        ModuleSection section(processExit);
        int32_t stored = 0;
        {
            CountGuard guard;
            int32_t count = ReadCount();
            stored = count > 0 ? count - 1 : 0;
            Store().LD_SetRegValueN(kCountKey, kCountValue, stored);
        }
        // The mutex is free again before any window is asked to close: another process's start
        // or stop never waits for a session manager.
        if (stored <= 0) {
            CloseSessionManagers();
        }
    }
    // At process exit the automation runtime may already be gone: what the class table caches is
    // left to the end of the process.
    if (!processExit) {
        classes::End();
    }
}

} // namespace qm::lifetime
