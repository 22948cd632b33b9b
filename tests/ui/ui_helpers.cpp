// The program's own operator new[] and delete[]: array allocations are counted while
// uitest::allocations says so (tests/ui/driver.h), and record areas are fenced.
#include "tests/ui/driver.h"

#include "platform/abi.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// Record areas (30 records) end right at a page that cannot be touched: a dialog that read a
// record beyond the 30th would crash the test instead of reading whatever lies there.
constexpr size_t kFencedSize = size_t(qm::kRecordAreaSize);
constexpr int kFenceSlots = 8;
std::atomic<void*> g_fenced[kFenceSlots];

void* FencedBlock() {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    size_t page = system.dwPageSize;
    size_t span = (kFencedSize + page - 1) / page * page;
    auto* base = static_cast<BYTE*>(
        VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD previous = 0;
    if (base == nullptr || !VirtualProtect(base + span, page, PAGE_NOACCESS, &previous)) {
        return nullptr;
    }
    void* block = base + span - kFencedSize;
    for (auto& slot : g_fenced) {
        void* empty = nullptr;
        if (slot.compare_exchange_strong(empty, block)) {
            return block;
        }
    }
    VirtualFree(base, 0, MEM_RELEASE);
    return nullptr;
}

bool ReleaseFenced(void* block) {
    for (auto& slot : g_fenced) {
        void* expected = block;
        if (slot.compare_exchange_strong(expected, nullptr)) {
            MEMORY_BASIC_INFORMATION region{};
            VirtualQuery(block, &region, sizeof(region));
            VirtualFree(region.AllocationBase, 0, MEM_RELEASE);
            return true;
        }
    }
    return false;
}

} // namespace

// Array allocations are counted, and record areas fenced; everything else passes through.
void* operator new[](size_t size) {
    void* block = size == kFencedSize ? FencedBlock() : nullptr;
    if (block == nullptr) {
        block = std::malloc(size != 0 ? size : 1);
    }
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    if (uitest::allocations::counting) {
        ++uitest::allocations::live;
    }
    return block;
}

void operator delete[](void* block) noexcept {
    if (block != nullptr && uitest::allocations::counting) {
        --uitest::allocations::live;
    }
    if (block != nullptr && ReleaseFenced(block)) {
        return;
    }
    std::free(block);
}

void operator delete[](void* block, size_t) noexcept {
    operator delete[](block);
}
