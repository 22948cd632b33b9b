// Binds the engine and the store in a native (Linux) program: the engine core and the store core
// are linked in directly. The registry values, which only a Windows process has, are kept in
// memory for the life of the process.
#include "external/engine.h"
#include "external/store.h"

#include "engine/core/corvane.h"
#include "store/core/ledra.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <variant>

namespace {

struct MemoryRegistry {
    std::mutex lock;
    std::map<std::string, std::variant<int32_t, std::string>> values;

    static std::string Key(const char* path, const char* name) {
        return std::string(path != nullptr ? path : "") + '\n' + (name != nullptr ? name : "");
    }
};

MemoryRegistry& Registry() {
    static MemoryRegistry registry;
    return registry;
}

namespace registry {

constexpr const char* kOrielPrefix = "SOFTWARE\\TesselCorp\\Oriel\\";

int32_t LD_IsRegKey(const char* fullPath, const char* name) {
    std::string path = fullPath != nullptr ? fullPath : "";
    if (path.rfind(kOrielPrefix, 0) != 0) {
        return 0;
    }
    MemoryRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    return r.values.count(MemoryRegistry::Key(path.c_str() + std::strlen(kOrielPrefix), name)) ? 1
                                                                                               : 0;
}

int32_t LD_GetRegValueN(const char* path, const char* name, int32_t* value) {
    MemoryRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    auto it = r.values.find(MemoryRegistry::Key(path, name));
    const int32_t* n = it != r.values.end() ? std::get_if<int32_t>(&it->second) : nullptr;
    if (value != nullptr) {
        *value = n != nullptr ? *n : 0;
    }
    return n != nullptr ? 0 : -1;
}

int32_t LD_SetRegValueN(const char* path, const char* name, int32_t value) {
    MemoryRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    r.values[MemoryRegistry::Key(path, name)] = value;
    return 0;
}

int32_t LD_GetRegValueSZ(const char* path, const char* name, char* text) {
    MemoryRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    auto it = r.values.find(MemoryRegistry::Key(path, name));
    const std::string* s = it != r.values.end() ? std::get_if<std::string>(&it->second) : nullptr;
    if (text != nullptr) {
        size_t n = s != nullptr ? std::min<size_t>(s->size(), qm::kRegTextSize - 1) : 0;
        if (n > 0) {
            std::memcpy(text, s->data(), n);
        }
        text[n] = '\0';
    }
    return s != nullptr ? 0 : -1;
}

int32_t LD_SetRegValueSZ(const char* path, const char* name, const char* text) {
    MemoryRegistry& r = Registry();
    std::lock_guard guard(r.lock);
    r.values[MemoryRegistry::Key(path, name)] = std::string(text != nullptr ? text : "");
    return 0;
}

} // namespace registry

constexpr EngineApi kNativeEngine{
#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments) .name = corvane::name,
#include "engine/core/functions.inc"
};

// The store's functions by layer: those of its core, and the registry's, kept in memory here.
namespace core = ledra;

constexpr StoreApi kNativeStore{
#define QM_STORE_FUNCTION(name, layer, unbound, parameters, arguments) .name = layer::name,
#include "store/core/functions.inc"
};

std::atomic<const EngineApi*> g_engine{&kNativeEngine};

} // namespace

namespace qm {

const EngineApi& Engine() noexcept {
    return *g_engine.load(std::memory_order_acquire);
}

void BindEngineForTesting(const EngineApi* api) noexcept {
    g_engine.store(api != nullptr ? api : &kNativeEngine, std::memory_order_release);
}

const StoreApi& LibraryStore() noexcept {
    return kNativeStore;
}

// Both are linked in.
bool EngineLoaded() noexcept {
    return true;
}
bool LibraryStoreLoaded() noexcept {
    return true;
}

} // namespace qm
