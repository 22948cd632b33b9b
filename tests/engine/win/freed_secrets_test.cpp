// Freed memory looked into as someone with a dump of a browser's heap would: the real
// Quillmark.dll, Corvane.dll and Ledra.dll do GenerateEx, EncipherEx, DecipherEx and getCert while
// every block that they give back to the C runtime is held back rather than freed. Afterwards the
// test learns the session key and IV (the stored setting "b") and knows the private key, and
// neither a held-back block nor a free entry of any heap of the process may hold any of them.
//
// A program of its own: it points the three DLLs' imports of free and realloc at its own.
#include "automation/QuillmarkInterfaces.h"
#include "platform/ciphers.h"
#include "platform/SecureWipe.h"
#include "tests/module/built_module.h"
#include "tests/support/bstr.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---- Holding back what the DLLs free -------------------------------------------------------

struct HeldBlock {
    const uint8_t* data;
    size_t size;
};

constexpr size_t kMostHeld = 1 << 16;
HeldBlock g_held[kMostHeld];
size_t g_heldCount = 0;
std::atomic<bool> g_holding{false};
SRWLOCK g_heldLock = SRWLOCK_INIT;

void __cdecl HeldFree(void* block) {
    if (block == nullptr) {
        return;
    }
    AcquireSRWLockExclusive(&g_heldLock);
    bool held = g_holding && g_heldCount < kMostHeld;
    if (held) {
        g_held[g_heldCount++] = {static_cast<const uint8_t*>(block), _msize(block)};
    }
    ReleaseSRWLockExclusive(&g_heldLock);
    if (!held) {
        std::free(block);
    }
}

// A block that moves is freed where it was: that copy is held back too.
void* __cdecl HeldRealloc(void* block, size_t size) {
    if (block == nullptr) {
        return std::malloc(size);
    }
    if (size == 0) {
        HeldFree(block);
        return nullptr;
    }
    void* moved = std::malloc(size);
    if (moved != nullptr) {
        std::memcpy(moved, block, std::min(size, _msize(block)));
        HeldFree(block);
    }
    return moved;
}

// Points the module's imports of `function` at `replacement`; how many it changed.
int PatchImport(HMODULE module, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    int patched = 0;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) {
                continue;
            }
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), protection, &protection);
            ++patched;
        }
    }
    return patched;
}

// ---- What is looked for ----------------------------------------------------------------------

// Byte strings that no freed memory may hold, wiped when the test lets go of them (a later look
// into the heap must not find the test's own copies).
class Secrets {
public:
    void Add(std::string name, const uint8_t* bytes, size_t size) {
        secrets_.push_back({std::move(name), qm::WipedBytes(bytes, size)});
    }
    // The bytes in reverse order, as a little-endian machine holds a big number's digits.
    void AddReversed(std::string name, const uint8_t* bytes, size_t size) {
        Add(std::move(name), bytes, size);
        std::ranges::reverse(secrets_.back().bytes.span());
    }
    // The name of the first secret that the memory holds, or null.
    const char* FoundIn(const uint8_t* data, size_t size) const {
        for (const Secret& s : secrets_) {
            std::span<const uint8_t> bytes = s.bytes.span();
            if (std::search(data, data + size, bytes.begin(), bytes.end()) != data + size) {
                return s.name.c_str();
            }
        }
        return nullptr;
    }

private:
    struct Secret {
        std::string name;
        qm::WipedBytes bytes;
    };
    std::vector<Secret> secrets_;
};

struct Finding {
    const char* secret;
    size_t blockSize;
    bool heldBack; // freed by the DLLs (held back), else a free entry of a heap
};

constexpr size_t kMostFindings = 64;

// Every place where a secret lies in freed memory: the blocks held back since the last look, and
// the free entries of every heap of the process. The held-back blocks are freed afterwards.
std::vector<Finding> LookIntoFreedMemory(const Secrets& secrets) {
    Finding found[kMostFindings];
    size_t count = 0;
    auto note = [&](const char* secret, size_t size, bool held) {
        if (secret != nullptr && count < kMostFindings) {
            found[count++] = {secret, size, held};
        }
    };
    std::vector<HeldBlock> held;
    AcquireSRWLockExclusive(&g_heldLock);
    held.assign(g_held, g_held + g_heldCount);
    g_heldCount = 0;
    ReleaseSRWLockExclusive(&g_heldLock);
    for (const HeldBlock& block : held) {
        note(secrets.FoundIn(block.data, block.size), block.size, true);
    }
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(GetProcessHeaps(DWORD(heaps.size()), heaps.data()));
    // Nothing may be allocated while a heap is locked: findings go to the array on the stack.
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heap, &entry)) {
            constexpr WORD kNotAFreeBlock =
                PROCESS_HEAP_ENTRY_BUSY | PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE;
            if ((entry.wFlags & kNotAFreeBlock) == 0 && entry.lpData != nullptr) {
                note(secrets.FoundIn(static_cast<const uint8_t*>(entry.lpData), entry.cbData),
                     entry.cbData, false);
            }
        }
        HeapUnlock(heap);
    }
    for (const HeldBlock& block : held) {
        std::free(const_cast<uint8_t*>(block.data));
    }
    return {found, found + count};
}

// Fails the test for every place where a secret lies in freed memory, naming it.
void ExpectNoneFreed(const Secrets& secrets, const char* after) {
    std::vector<Finding> found = LookIntoFreedMemory(secrets);
    std::string text;
    for (const Finding& f : found) {
        text += std::string("\n  ") + f.secret + " in a " + std::to_string(f.blockSize) +
                "-byte block " + (f.heldBack ? "that the DLLs freed" : "on a heap's free list");
    }
    EXPECT_TRUE(found.empty()) << "after " << after << ":" << text;
}

// ---- The DLLs and their objects --------------------------------------------------------------

// A file that make-probe-store.sh made, read straight into the string: no stream buffer is left
// on the heap with a copy of the private key in it.
std::string Fixture(const char* name) {
    std::wstring path = qmtest::DosPath((std::string(QM_PROBE_DIR "/") + name).c_str());
    qm::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    std::string bytes;
    DWORD read = 0;
    if (file && GetFileSizeEx(file.get(), &size) && size.QuadPart < (1 << 20)) {
        bytes.resize(size_t(size.QuadPart));
        ReadFile(file.get(), bytes.data(), DWORD(bytes.size()), &read, nullptr);
        bytes.resize(read);
    }
    return bytes;
}

class FreedSecrets : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        for (const wchar_t* name : {L"Corvane.dll", L"Ledra.dll", L"Quillmark.dll"}) {
            std::wstring path = qmtest::DosPath(QM_BIN_DIR) + L"\\" + name;
            HMODULE module = LoadLibraryW(path.c_str());
            ASSERT_NE(module, nullptr) << "cannot load " << std::string(path.begin(), path.end());
            int patched = PatchImport(module, "free", reinterpret_cast<void*>(&HeldFree)) +
                          PatchImport(module, "realloc", reinterpret_cast<void*>(&HeldRealloc));
            ASSERT_GT(patched, 0) << "the DLL imports no free from the C runtime";
            modules_.push_back(module);
        }
        // The store's folder, as Ledra.dll reads it.
        std::wstring store = qmtest::DosPath(QM_PROBE_DIR "/store");
        SetEnvironmentVariableW(L"QUILLMARK_STORE", store.c_str());
    }
    static void TearDownTestSuite() {
        g_holding = false;
        CoUninitialize(); // the DLLs stay: OpenSSL, linked in, pins the engine to the process
    }

    template <class T> void Create(REFCLSID clsid, REFIID iid, qm::ComPtr<T>& object) {
        using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        auto get = reinterpret_cast<GetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(modules_.back(), "DllGetClassObject")));
        ASSERT_NE(get, nullptr);
        qm::ComPtr<IClassFactory> factory;
        ASSERT_EQ(get(clsid, IID_IClassFactory, factory.out_void()), S_OK);
        ASSERT_EQ(factory->CreateInstance(nullptr, iid, object.out_void()), S_OK);
    }

    // Starts holding back what the DLLs free (anything freed before is let go).
    void Hold() {
        LookIntoFreedMemory(Secrets());
        g_holding = true;
    }

    static inline std::vector<HMODULE> modules_;
};

// The session key and IV that the stored setting "b" holds (Base64 of the key and then the IV).
void LearnSessionKey(const char* algorithm, size_t keyLength, Secrets& secrets) {
    char text[256] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\TesselCorp\\Oriel\\Veyra\\Brindel", "b",
                           RRF_RT_REG_SZ, nullptr, text, &size),
              ERROR_SUCCESS);
    BYTE material[64] = {};
    DWORD length = sizeof material;
    ASSERT_TRUE(
        CryptStringToBinaryA(text, 0, CRYPT_STRING_BASE64, material, &length, nullptr, nullptr));
    ASSERT_GT(length, keyLength);
    secrets.Add(std::string("the ") + algorithm + " session key", material, keyLength);
    secrets.Add(std::string("the ") + algorithm + " IV", material + keyLength, length - keyLength);
    qm::SecureWipe(material, sizeof material);
    qm::SecureWipe(text, sizeof text);
}

TEST_F(FreedSecrets, NoSessionKeyOrIvAfterGenerateExEncipherExAndDecipherEx) {
    qm::ComPtr<ISecureSession> session;
    Create(CLSID_SecureSession, IID_ISecureSession, session);
    for (const char* recipient : {"server-rsa.pem", "server-ec.pem"}) {
        qm::UniqueBstr pem = qmtest::Bstr(qm::Utf8ToUtf16(Fixture(recipient)));
        ASSERT_NE(SysStringLen(pem.get()), 0u) << recipient;
        for (const qm::CipherRow& algorithm : qm::kCiphers) {
            if (!qm::CanEnvelope(algorithm)) {
                continue; // GenerateEx refuses it
            }
            for (int round = 0; round < 2; ++round) {
                SCOPED_TRACE(std::string(algorithm.name) + " to " + recipient + ", round " +
                             std::to_string(round));
                Hold();
                qm::UniqueBstr sealed;
                ASSERT_EQ(session->GenerateEx(qmtest::Bstr(qm::Utf8ToUtf16(algorithm.name)).get(),
                                              pem.get(), sealed.out()),
                          S_OK);
                ASSERT_NE(SysStringLen(sealed.get()), 0u);
                Secrets secrets;
                ASSERT_NO_FATAL_FAILURE(
                    LearnSessionKey(algorithm.name, size_t(algorithm.keyLength), secrets));
                ExpectNoneFreed(secrets, "GenerateEx");

                Hold();
                qm::UniqueBstr cipher, plain;
                ASSERT_EQ(
                    session->EncipherEx(qmtest::Bstr(L"\xC548\xB155 quarterly figures 7301").get(),
                                        cipher.out()),
                    S_OK);
                ASSERT_NE(SysStringLen(cipher.get()), 0u);
                ASSERT_EQ(session->DecipherEx(cipher.get(), plain.out()), S_OK);
                ASSERT_NE(SysStringLen(plain.get()), 0u);
                ExpectNoneFreed(secrets, "EncipherEx and DecipherEx");
            }
        }
    }
    g_holding = false;
}

// ---- The private key that getCert unlocks ------------------------------------------------------

// The content of the next DER element of `der` (advanced past it), which must have `tag`.
bool NextElement(std::string_view& der, uint8_t tag, std::string_view& content) {
    if (der.size() < 2 || uint8_t(der[0]) != tag) {
        return false;
    }
    size_t length = uint8_t(der[1]);
    size_t header = 2;
    if (length >= 0x80) {
        size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || der.size() < 2 + bytes) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < bytes; ++i) {
            length = length << 8 | uint8_t(der[2 + i]);
        }
        header += bytes;
    }
    if (der.size() - header < length) {
        return false;
    }
    content = der.substr(header, length);
    der.remove_prefix(header + length);
    return true;
}

// 16 bytes from the middle of each secret number of an RSA key (PKCS#8 DER), as DER writes them
// and as OpenSSL keeps them in memory (least significant byte first).
void AddRsaKey(const std::string& pkcs8, Secrets& secrets) {
    std::string_view der = pkcs8, info, field, rsa;
    ASSERT_TRUE(NextElement(der, 0x30, info));
    ASSERT_TRUE(NextElement(info, 0x02, field)); // version
    ASSERT_TRUE(NextElement(info, 0x30, field)); // algorithm
    ASSERT_TRUE(NextElement(info, 0x04, field)); // the RSAPrivateKey
    ASSERT_TRUE(NextElement(field, 0x30, rsa));
    for (const char* name : {"version", "n", "e", "d", "p", "q", "dp", "dq", "qinv"}) {
        std::string_view number;
        ASSERT_TRUE(NextElement(rsa, 0x02, number)) << name;
        if (number.size() < 64 || std::string_view(name) == "n") {
            continue; // the public parts: the version, the modulus and the public exponent
        }
        auto* middle = reinterpret_cast<const uint8_t*>(number.data() + number.size() / 2 - 8);
        secrets.Add(std::string("the private key's ") + name, middle, 16);
        secrets.AddReversed(std::string("the private key's ") + name + " (as OpenSSL holds it)",
                            middle, 16);
    }
}

TEST_F(FreedSecrets, NoUnlockedPrivateKeyAfterGetCert) {
    Secrets secrets;
    std::string key = Fixture("user-key.der");
    AddRsaKey(key, secrets);
    qm::SecureWipe(key.data(), key.size()); // the test's own copy is no finding
    ASSERT_FALSE(HasFatalFailure());
    qm::ComPtr<IVeyra> directory;
    Create(CLSID_Veyra, IID_IVeyra, directory);
    qm::UniqueBstr dns;
    ASSERT_EQ(directory->getDNList(qmtest::Bstr(L"").get(), 0, 700, dns.out()), S_OK);
    ASSERT_NE(SysStringLen(dns.get()), 0u) << "the probe's store lists no user";
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Hold();
        qm::UniqueBstr pem;
        ASSERT_EQ(directory->getCert(dns.get(), qmtest::Bstr(L"probe-pass").get(), pem.out()),
                  S_OK);
        ASSERT_NE(SysStringLen(pem.get()), 0u);
        qm::UniqueBstr refused;
        directory->getCert(dns.get(), qmtest::Bstr(L"not the password").get(), refused.out());
        EXPECT_EQ(SysStringLen(refused.get()), 0u);
        ExpectNoneFreed(secrets, "getCert");
    }
    g_holding = false;
}

} // namespace
