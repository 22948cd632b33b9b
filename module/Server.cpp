#include "module/Server.h"

#include <atomic>

namespace qm::server {
namespace {

std::atomic<LONG> g_lockCount{0};
HINSTANCE g_instance = nullptr;
GUID g_typeLibrary = GUID_NULL;

// Static objects: built before DllMain runs and destroyed after the module has stopped.
CriticalSection g_classObjectLock;
CriticalSection g_typeInfoLock;

// A fixed list: each holder of type information adds one callback, and nothing here may need the
// allocator while the module is being torn down.
struct TermEntry {
    TermCallback callback;
    void* context;
};
constexpr int kTermCapacity = 16;
TermEntry g_term[kTermCapacity];
int g_termCount = 0;
CriticalSection g_termLock;

} // namespace

void Lock() noexcept {
    g_lockCount.fetch_add(1);
}

void Unlock() noexcept {
    g_lockCount.fetch_sub(1);
}

LONG LockCount() noexcept {
    return g_lockCount.load();
}

HINSTANCE Instance() noexcept {
    return g_instance;
}

const GUID& TypeLibrary() noexcept {
    return g_typeLibrary;
}

void SetInstance(HINSTANCE instance) noexcept {
    g_instance = instance;
}

void SetTypeLibrary(const GUID& typeLibrary) noexcept {
    g_typeLibrary = typeLibrary;
}

CriticalSection& ClassObjectLock() noexcept {
    return g_classObjectLock;
}

CriticalSection& TypeInfoLock() noexcept {
    return g_typeInfoLock;
}

bool AddTermCallback(TermCallback callback, void* context) noexcept {
    qm::Lock lock(g_termLock);
    if (g_termCount == kTermCapacity) {
        return false;
    }
    g_term[g_termCount++] = {callback, context};
    return true;
}

void RunTermCallbacks() noexcept {
    for (;;) {
        TermEntry entry;
        {
            qm::Lock lock(g_termLock);
            if (g_termCount == 0) {
                return;
            }
            entry = g_term[--g_termCount];
        }
        entry.callback(entry.context);
    }
}

} // namespace qm::server
