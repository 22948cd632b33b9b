// Ledra.dll's registry values: the system's instance count and stored settings, kept under
// HKEY_CURRENT_USER in the real registry. LD_IsRegKey takes a full path below HKEY_CURRENT_USER;
// the value functions take a path below HKEY_CURRENT_USER\SOFTWARE\TesselCorp\Oriel.
//
// Results: 0 for success, a code of store/core/errors.h otherwise (never the bare Windows error,
// whose small numbers would read as Quillmark's own codes). The two read functions write their
// output on every path: 0 or empty text when the value cannot be read.
#include <windows.h>

#include "platform/Raii.h"
#include "platform/SecureWipe.h"
#include "store/core/errors.h"
#include "store/export/exports.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

// Each is declared from the store's table (exports.h).
#define QM_EXPORT extern "C" int32_t __cdecl

namespace {

namespace err = ledra::err;

constexpr const char* kOrielRoot = "SOFTWARE\\TesselCorp\\Oriel";
constexpr size_t kTextCapacity = 2048; // the caller's buffer: 2,047 characters and the NUL

int32_t Failure(LONG error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return err::kRegistryMissing;
    default:
        return err::kRegistry;
    }
}

std::string OrielPath(const char* path) {
    std::string full = kOrielRoot;
    if (path != nullptr && path[0] != '\0') {
        full += '\\';
        full += path;
    }
    return full;
}

// A key opened below HKEY_CURRENT_USER, or why it could not be.
struct OpenedKey {
    LONG status;
    qm::UniqueHkey key;
};

OpenedKey OpenForReading(const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    return {status, qm::UniqueHkey(status == ERROR_SUCCESS ? key : nullptr)};
}

OpenedKey OpenForWriting(const std::string& path) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
    return {status, qm::UniqueHkey(status == ERROR_SUCCESS ? key : nullptr)};
}

// The longest prefix of `text` of at most `limit` bytes that does not end inside a double-byte
// character of the ANSI code page.
size_t CutAtCharacter(const char* text, size_t length, size_t limit) {
    if (length <= limit) {
        return length;
    }
    size_t i = 0;
    while (i < limit) {
        size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) && i + 1 < length ? 2 : 1;
        if (i + step > limit) {
            break;
        }
        i += step;
    }
    return i;
}

// No exception may leave an export: memory failures become a code.
template <typename F> int32_t Guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return err::kInternal;
    }
}

int32_t ReadText(const char* path, const char* valueName, char* text) {
    auto [rc, key] = OpenForReading(OrielPath(path));
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    // The stored text may be longer than the caller's buffer: read all of it, then hand out what
    // fits. The first query is made with room for any text the system writes, so that one round
    // trip to the registry usually does; a longer text (or one that another process makes longer
    // meanwhile) is asked for again with the size the registry reported.
    DWORD capacity = 2 * kTextCapacity;
    for (int attempt = 0; attempt < 4; ++attempt) {
        // It may hold key material ("b"): wiped before it is released.
        qm::WipedText data(static_cast<size_t>(capacity) + 1);
        DWORD type = 0;
        DWORD size = capacity;
        rc = RegQueryValueExA(key.get(), valueName, nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc == ERROR_MORE_DATA) {
            capacity = size;
            continue;
        }
        if (rc != ERROR_SUCCESS) {
            return Failure(rc);
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            return err::kRegistryType;
        }
        data.data()[std::min<size_t>(size, data.size() - 1)] = '\0';
        size_t stored = std::strlen(data.data());
        size_t length = CutAtCharacter(data.data(), stored, kTextCapacity - 1);
        std::memcpy(text, data.data(), length);
        text[length] = '\0';
        return length == stored ? 0 : err::kRegistryTruncated;
    }
    return err::kRegistry;
}

} // namespace

QM_EXPORT LD_IsRegKey(const char* fullPath, const char* valueName) {
    if (fullPath == nullptr) {
        return 0;
    }
    qm::UniqueHkey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, fullPath, 0, KEY_QUERY_VALUE, key.out()) !=
        ERROR_SUCCESS) {
        return 0;
    }
    return RegQueryValueExA(key.get(), valueName, nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

QM_EXPORT LD_GetRegValueN(const char* path, const char* valueName, int32_t* value) {
    if (value == nullptr) {
        return err::kBadArgument;
    }
    *value = 0;
    return Guarded([&]() -> int32_t {
        auto [rc, key] = OpenForReading(OrielPath(path));
        if (rc != ERROR_SUCCESS) {
            return Failure(rc);
        }
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof(data);
        rc = RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                              &size);
        if (rc == ERROR_MORE_DATA) {
            return err::kRegistryType;
        }
        if (rc != ERROR_SUCCESS) {
            return Failure(rc);
        }
        if (type != REG_DWORD || size != sizeof(data)) {
            return err::kRegistryType;
        }
        *value = static_cast<int32_t>(data);
        return 0;
    });
}

QM_EXPORT LD_SetRegValueN(const char* path, const char* valueName, int32_t value) {
    return Guarded([&]() -> int32_t {
        auto [rc, key] = OpenForWriting(OrielPath(path));
        if (rc != ERROR_SUCCESS) {
            return Failure(rc);
        }
        DWORD data = static_cast<DWORD>(value);
        rc = RegSetValueExA(key.get(), valueName, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&data), sizeof(data));
        return rc == ERROR_SUCCESS ? 0 : Failure(rc);
    });
}

QM_EXPORT LD_GetRegValueSZ(const char* path, const char* valueName, char* text) {
    if (text == nullptr) {
        return err::kBadArgument;
    }
    text[0] = '\0';
    return Guarded([&] { return ReadText(path, valueName, text); });
}

QM_EXPORT LD_SetRegValueSZ(const char* path, const char* valueName, const char* text) {
    if (text == nullptr) {
        return err::kBadArgument;
    }
    return Guarded([&]() -> int32_t {
        size_t length = std::strlen(text);
        if (length + 1 > MAXDWORD) {
            return err::kBadArgument;
        }
        auto [rc, key] = OpenForWriting(OrielPath(path));
        if (rc != ERROR_SUCCESS) {
            return Failure(rc);
        }
        rc = RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(length + 1));
        return rc == ERROR_SUCCESS ? 0 : Failure(rc);
    });
}
