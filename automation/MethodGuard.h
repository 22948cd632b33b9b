// No exception may cross a COM method: every automation method runs its body through Guarded,
// which turns an exhausted allocator into E_OUTOFMEMORY and anything else into E_FAIL.
#pragma once

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

} // namespace qm
