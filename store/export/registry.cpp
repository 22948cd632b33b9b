// Ledra.dll's registry values: the system's instance count and stored settings, kept under
// HKEY_CURRENT_USER in the real registry. LD_IsRegKey takes a full path below HKEY_CURRENT_USER;
// the value functions take a path below HKEY_CURRENT_USER\SOFTWARE\TesselCorp\Oriel.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#define QM_EXPORT extern "C" int32_t __cdecl

namespace {

constexpr const char* kOrielRoot = "SOFTWARE\\TesselCorp\\Oriel";
constexpr DWORD kTextCapacity = 2048; // the caller's buffer: 2,047 characters and the NUL

int32_t Failure(LONG error) { return error == ERROR_SUCCESS ? -1 : -static_cast<int32_t>(error); }

std::string OrielPath(const char* path) {
    std::string full = kOrielRoot;
    if (path != nullptr && path[0] != '\0') {
        full += '\\';
        full += path;
    }
    return full;
}

class Key {
public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

LONG OpenForReading(const std::string& path, Key& key) {
    return RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_QUERY_VALUE, key.out());
}

LONG OpenForWriting(const std::string& path, Key& key) {
    return RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_SET_VALUE, nullptr, key.out(), nullptr);
}

} // namespace

QM_EXPORT LD_IsRegKey(const char* fullPath, const char* valueName) {
    if (fullPath == nullptr) {
        return 0;
    }
    Key key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, fullPath, 0, KEY_QUERY_VALUE, key.out()) != ERROR_SUCCESS) {
        return 0;
    }
    return RegQueryValueExA(key.get(), valueName, nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

QM_EXPORT LD_GetRegValueN(const char* path, const char* valueName, int32_t* value) {
    if (value == nullptr) {
        return Failure(ERROR_INVALID_PARAMETER);
    }
    *value = 0;
    Key key;
    LONG rc = OpenForReading(OrielPath(path), key);
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    rc = RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                          &size);
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    if (type != REG_DWORD || size != sizeof(data)) {
        return Failure(ERROR_INVALID_DATA);
    }
    *value = static_cast<int32_t>(data);
    return 0;
}

QM_EXPORT LD_SetRegValueN(const char* path, const char* valueName, int32_t value) {
    Key key;
    LONG rc = OpenForWriting(OrielPath(path), key);
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    DWORD data = static_cast<DWORD>(value);
    rc = RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                        sizeof(data));
    return rc == ERROR_SUCCESS ? 0 : Failure(rc);
}

QM_EXPORT LD_GetRegValueSZ(const char* path, const char* valueName, char* text) {
    if (text == nullptr) {
        return Failure(ERROR_INVALID_PARAMETER);
    }
    text[0] = '\0';
    Key key;
    LONG rc = OpenForReading(OrielPath(path), key);
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    // The stored text may be longer than the caller's buffer: read all of it, hand out the first
    // 2,047 characters.
    DWORD type = 0;
    DWORD size = 0;
    rc = RegQueryValueExA(key.get(), valueName, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return Failure(ERROR_INVALID_DATA);
    }
    std::vector<char> data(size + 1, '\0');
    rc = RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                          &size);
    if (rc != ERROR_SUCCESS) {
        SecureZeroMemory(data.data(), data.size());
        return Failure(rc);
    }
    data[std::min<size_t>(size, data.size() - 1)] = '\0';
    size_t length = std::min<size_t>(std::strlen(data.data()), kTextCapacity - 1);
    std::memcpy(text, data.data(), length);
    text[length] = '\0';
    // The text may be key material ("b"): leave no copy behind.
    SecureZeroMemory(data.data(), data.size());
    return 0;
}

QM_EXPORT LD_SetRegValueSZ(const char* path, const char* valueName, const char* text) {
    if (text == nullptr) {
        return Failure(ERROR_INVALID_PARAMETER);
    }
    Key key;
    LONG rc = OpenForWriting(OrielPath(path), key);
    if (rc != ERROR_SUCCESS) {
        return Failure(rc);
    }
    rc = RegSetValueExA(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
    return rc == ERROR_SUCCESS ? 0 : Failure(rc);
}
