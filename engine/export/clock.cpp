// time() for everything linked into the DLL, OpenSSL first: the seconds since 1970 (UTC) from the
// system clock alone.
//
// OpenSSL's random generators ask the time at every request, to reseed at least every few minutes,
// and sealing one message makes three requests. msvcrt's _time64 under Wine reads the time zone
// (the registry, the zone file) on every call although the result does not depend on it: some
// 15 us a call, a tenth of the time of a whole seal. mingw-w64's time() calls _time64 (_time32
// where time_t is 32 bits) through its import pointer, __imp__time64; defining both names here
// keeps msvcrt's out of the link, and the DLL's calls come here, with the value msvcrt's would
// give (tests/engine/win/corvane_dll_test.cpp compares the two).
#include <windows.h>

#include <cstdint>

// The names as the assembler sees them: C names take a leading underscore on i686 alone.
#define QM_STRING_(x) #x
#define QM_STRING(x) QM_STRING_(x)
#define QM_C_NAME(name) QM_STRING(__USER_LABEL_PREFIX__) name

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;     // FILETIME counts 100 ns
constexpr uint64_t kSeconds1601To1970 = 11644473600; // FILETIME's epoch to the C runtime's

int64_t SecondsSince1970() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t ticks = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    return int64_t(ticks / kTicksPerSecond - kSeconds1601To1970);
}

} // namespace

extern "C" {

int64_t __cdecl QmTime64(int64_t* out) noexcept __asm__(QM_C_NAME("_time64"));
int64_t __cdecl QmTime64(int64_t* out) noexcept {
    int64_t seconds = SecondsSince1970();
    if (out != nullptr) {
        *out = seconds;
    }
    return seconds;
}

// As msvcrt's: -1 once the seconds no longer fit (in 2038).
int32_t __cdecl QmTime32(int32_t* out) noexcept __asm__(QM_C_NAME("_time32"));
int32_t __cdecl QmTime32(int32_t* out) noexcept {
    int64_t seconds = SecondsSince1970();
    int32_t result = seconds > INT32_MAX ? -1 : int32_t(seconds);
    if (out != nullptr) {
        *out = result;
    }
    return result;
}

extern void* const QmTime64Import __asm__("__imp_" QM_C_NAME("_time64"));
extern void* const QmTime32Import __asm__("__imp_" QM_C_NAME("_time32"));
void* const QmTime64Import = reinterpret_cast<void*>(&QmTime64);
void* const QmTime32Import = reinterpret_cast<void*>(&QmTime32);

} // extern "C"
