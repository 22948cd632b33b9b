// No exception may cross a COM method: every automation method runs its body through Guarded,
// which turns an exhausted allocator into E_OUTOFMEMORY and anything else into E_FAIL.
#pragma once

#include "automation/ErrorCodes.h"
#include "external/engine.h"
#include "external/store.h"

#include <windows.h>

#include <new>

namespace qm {

template <typename Body> HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// The libraries a method calls.
enum class Needs { Engine, Store, Both };

// The code for a call that cannot be carried out because a library it needs could not be
// loaded; 0 when they are there. Without them every call would fail somewhere inside, and some
// (Base64Encode, getKEYIV) would even seem to succeed with an empty answer.
inline uint32_t MissingLibrary(uint32_t origin, Needs needs) noexcept {
    if (needs != Needs::Store && !EngineLoaded()) {
        return MakeCode(origin, kEngineMissingIndex);
    }
    if (needs != Needs::Engine && !StoreLoaded()) {
        return MakeCode(origin, kStoreMissingIndex);
    }
    return 0;
}

} // namespace qm
