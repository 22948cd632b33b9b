// Corvane.dll as Quillmark.dll meets it: a Windows program loads the DLL by full path and calls
// its functions by ordinal. This proves the export table (ordinals only, exactly the engine's
// numbers) and the calling convention of the Windows build, which no native test can see.
#include <windows.h>

#include "external/engine.h"
#include "platform/ciphers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

// The folder named by QM_BIN (a Unix path when the test runs under Wine, whose drive Z: is the
// Unix root), else the bare name for the loader's search path.
std::wstring DllPath() {
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetEnvironmentVariableW(L"QM_BIN", buffer.data(), DWORD(buffer.size()));
    if (n == 0 || n >= buffer.size()) {
        return L"Corvane.dll";
    }
    std::wstring path = (buffer[0] == L'/' ? L"Z:" : L"") + std::wstring(buffer.data(), n);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path + L"\\Corvane.dll";
}

// The ordinals that Corvane.dll publishes, as callers built against it know them: the engine's
// table may add functions but never move one.
const std::map<std::string_view, int> kPublishedOrdinals = {
    {"CV_Digest", 1},
    {"CV_Encrypt", 2},
    {"CV_Decrypt", 3},
    {"CV_RandomBytes", 5},
    {"CV_EncryptForCertificate", 10},
    {"CV_DigestId", 19},
    {"CV_CipherId", 20},
    {"CV_Base64Encode", 21},
    {"CV_Base64Decode", 22},
    {"CV_PemDecode", 23},
    {"CV_PemEncode", 24},
    {"CV_IvLength", 27},
    {"CV_KeyLength", 28},
    {"CV_Free", 30},
    {"CV_DecryptPrivateKey", 233},
    {"CV_ParseCertificate", 309},
    {"CV_VerifyCertificate", 317},
    {"CV_ContextInit", 900},
    {"CV_ContextFree", 901},
};

class CorvaneDll : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::wstring path = DllPath();
        module_ = LoadLibraryW(path.c_str());
        if (module_ == nullptr && path != L"Corvane.dll") {
            path = L"Corvane.dll"; // not in that folder: a copy on the search path, if any
            module_ = LoadLibraryW(path.c_str());
        }
        std::printf("[   NOTE   ] %s %ls\n", module_ != nullptr ? "loaded" : "cannot load",
                    path.c_str());
    }
    static void TearDownTestSuite() { FreeLibrary(module_); }

    void SetUp() override {
        ASSERT_NE(module_, nullptr) << "cannot load Corvane.dll (error " << GetLastError() << ")";
        qm::ForEachEngineFunction([&](auto slot, int ordinal, const char*) {
            api_.*slot = reinterpret_cast<std::remove_reference_t<decltype(api_.*slot)>>(
                reinterpret_cast<void*>(GetProcAddress(module_, MAKEINTRESOURCEA(ordinal))));
            ASSERT_NE(api_.*slot, nullptr) << "ordinal " << ordinal;
        });
    }

    static inline HMODULE module_ = nullptr;
    EngineApi api_{};
};

// One of the module's data directories, whose addresses are relative to the module's base.
const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int entry) {
    auto base = reinterpret_cast<const BYTE*>(module);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    return nt->OptionalHeader.DataDirectory[entry];
}

TEST_F(CorvaneDll, ExportsExactlyTheEngineOrdinalsAndNoNames) {
    auto base = reinterpret_cast<const BYTE*>(module_);
    ASSERT_EQ(reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_magic, IMAGE_DOS_SIGNATURE);
    const IMAGE_DATA_DIRECTORY& dir = Directory(module_, IMAGE_DIRECTORY_ENTRY_EXPORT);
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    EXPECT_EQ(exports->NumberOfNames, 0u);
    auto functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
    std::set<int> ordinals;
    for (DWORD i = 0; i < exports->NumberOfFunctions; ++i) {
        if (functions[i] != 0) {
            ordinals.insert(int(exports->Base + i));
        }
    }
    std::set<int> published;
    for (const auto& [name, ordinal] : kPublishedOrdinals) {
        published.insert(ordinal);
    }
    EXPECT_EQ(ordinals, published);
    std::map<std::string_view, int> table;
    qm::ForEachEngineFunction([&](auto, int ordinal, const char* name) { table[name] = ordinal; });
    EXPECT_EQ(table, kPublishedOrdinals);
    EXPECT_EQ(GetProcAddress(module_, "CV_Encrypt"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "CV_Free"), nullptr);
}

// The names that a module imports from one DLL, as its import directory lists them.
std::set<std::string> ImportedNames(HMODULE module, const char* dll) {
    auto base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DATA_DIRECTORY& dir = Directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
    std::set<std::string> names;
    for (auto d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         dir.VirtualAddress != 0 && d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0) {
            continue;
        }
        auto thunk = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        for (; thunk->u1.AddressOfData != 0; ++thunk) {
            if (!IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal)) {
                names.insert(
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + thunk->u1.AddressOfData)
                        ->Name);
            }
        }
    }
    return names;
}

// OpenSSL asks the time at every request for random bytes; the engine answers from its own clock
// (engine/export/clock.cpp), which this program links in too: the DLL imports no time() of the C
// runtime, and the clock agrees with the C runtime's to the second, through either width of time_t.
TEST_F(CorvaneDll, TheTimeComesFromTheEngineClockAndAgreesWithTheRuntime) {
    std::set<std::string> runtime = ImportedNames(module_, "msvcrt.dll");
    ASSERT_FALSE(runtime.empty()); // the directory was read
    EXPECT_EQ(runtime.count("_time64"), 0u);
    EXPECT_EQ(runtime.count("_time32"), 0u);
    // Nor does this program, whose readings below would else be the runtime's own.
    EXPECT_EQ(ImportedNames(GetModuleHandleW(nullptr), "msvcrt.dll").count("_time64"), 0u);

    HMODULE msvcrt = GetModuleHandleW(L"msvcrt.dll");
    ASSERT_NE(msvcrt, nullptr);
    using Time64 = int64_t(__cdecl*)(int64_t*);
    using Time32 = int32_t(__cdecl*)(int32_t*);
    auto runtime64 =
        reinterpret_cast<Time64>(reinterpret_cast<void*>(GetProcAddress(msvcrt, "_time64")));
    auto runtime32 =
        reinterpret_cast<Time32>(reinterpret_cast<void*>(GetProcAddress(msvcrt, "_time32")));
    ASSERT_NE(runtime64, nullptr);
    ASSERT_NE(runtime32, nullptr);
    for (int i = 0; i < 3; ++i) { // a second may turn between two readings, not twice
        int64_t before = runtime64(nullptr);
        __time64_t written = 0;
        __time64_t ours = _time64(&written);
        __time32_t written32 = 0;
        __time32_t ours32 = _time32(&written32);
        time_t plain = time(nullptr); // as OpenSSL asks
        int32_t theirs32 = runtime32(nullptr);
        int64_t after = runtime64(nullptr);
        EXPECT_EQ(written, ours);
        EXPECT_EQ(written32, ours32);
        if (before == after) {
            EXPECT_EQ(ours, before);
            EXPECT_EQ(plain, before);
            EXPECT_EQ(ours32, theirs32);
            EXPECT_EQ(ours32, int32_t(before));
            return;
        }
    }
    ADD_FAILURE() << "the runtime's clock did not hold still for a second";
}

// OpenSSL's locks are critical sections with a spin count (scripts/openssl-windows.sh), not slim
// reader/writer locks, which cost under Wine two to three times as much: a library built the other
// way (an old build in the cache, a new OpenSSL that chooses its locks otherwise) shows here.
TEST_F(CorvaneDll, OpenSslLocksAreCriticalSections) {
    std::set<std::string> kernel = ImportedNames(module_, "kernel32.dll");
    ASSERT_FALSE(kernel.empty());
    EXPECT_EQ(kernel.count("InitializeCriticalSectionAndSpinCount"), 1u);
    for (const char* srw :
         {"InitializeSRWLock", "AcquireSRWLockShared", "AcquireSRWLockExclusive"}) {
        EXPECT_EQ(kernel.count(srw), 0u) << srw;
    }
}

TEST_F(CorvaneDll, Base64AndDigestAcrossTheBoundary) {
    const char abc[] = "abc";
    ByteBuffer in{3, reinterpret_cast<uint8_t*>(const_cast<char*>(abc))};
    char* text = nullptr;
    ASSERT_EQ(api_.CV_Base64Encode(&in, &text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "YWJj");
    ByteBuffer back{0, nullptr};
    ASSERT_EQ(api_.CV_Base64Decode(text, &back), 0);
    ASSERT_EQ(back.length, 3);
    EXPECT_EQ(std::memcmp(back.data, abc, 3), 0);
    EXPECT_EQ(api_.CV_Free(text), 0);
    EXPECT_EQ(api_.CV_Free(back.data), 0);
    EXPECT_EQ(api_.CV_Free(nullptr), 0);
    EXPECT_LT(api_.CV_Base64Decode("YW*j", &back), 0);
    EXPECT_EQ(back.data, nullptr);

    int32_t id = 0;
    ASSERT_EQ(api_.CV_DigestId("sha1", &id), 0);
    EXPECT_EQ(id, qm::kDigestSha1);
    ByteBuffer digest{0, nullptr};
    ASSERT_EQ(api_.CV_Digest(id, &in, &digest), 0);
    ASSERT_EQ(digest.length, 20);
    const uint8_t expected[] = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                                0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
    EXPECT_EQ(std::memcmp(digest.data, expected, 20), 0);
    EXPECT_EQ(api_.CV_Free(digest.data), 0);
}

TEST_F(CorvaneDll, EveryCipherRoundTripsAcrossTheBoundary) {
    for (const qm::CipherRow& cipher : qm::kCiphers) {
        SCOPED_TRACE(cipher.name);
        int32_t id = 0, keyLength = 0, ivLength = 0;
        ASSERT_EQ(api_.CV_CipherId(cipher.name, &id), 0);
        EXPECT_EQ(id, cipher.id);
        ASSERT_EQ(api_.CV_KeyLength(id, &keyLength), 0);
        ASSERT_EQ(api_.CV_IvLength(id, &ivLength), 0);
        EXPECT_EQ(keyLength, cipher.keyLength);
        EXPECT_EQ(ivLength, cipher.ivLength);
        uint8_t* material = nullptr;
        ASSERT_EQ(api_.CV_RandomBytes(qm::kRandomSource, keyLength + ivLength, &material), 0);
        const char message[] = "a message that spans more than one cipher block";
        ByteBuffer plain{int32_t(sizeof message),
                         reinterpret_cast<uint8_t*>(const_cast<char*>(message))};
        ByteBuffer sealed{0, nullptr};
        ASSERT_EQ(api_.CV_Encrypt(id, material, material + keyLength, &plain, &sealed), 0);
        EXPECT_EQ(sealed.length % (ivLength), 0);
        ByteBuffer opened{0, nullptr};
        ASSERT_EQ(api_.CV_Decrypt(id, material, material + keyLength, &sealed, &opened), 0);
        ASSERT_EQ(opened.length, plain.length);
        EXPECT_EQ(std::memcmp(opened.data, message, sizeof message), 0);
        EXPECT_EQ(api_.CV_Free(opened.data), 0);
        EXPECT_EQ(api_.CV_Free(sealed.data), 0);
        EXPECT_EQ(api_.CV_Free(material), 0);
    }
    int32_t id = 0;
    EXPECT_LT(api_.CV_CipherId("RC4", &id), 0);
}

TEST_F(CorvaneDll, ContextsAndFailuresAcrossTheBoundary) {
    EngineContext context{};
    ASSERT_EQ(api_.CV_ContextInit(&context), 0);
    const char junk[] = "not a certificate";
    ByteBuffer bad{int32_t(sizeof junk), reinterpret_cast<uint8_t*>(const_cast<char*>(junk))};
    int32_t version = -1, bits = -1;
    EXPECT_LT(api_.CV_ParseCertificate(&context, &bad, 0, &version, &bits), 0);
    char* detail = nullptr;
    EXPECT_LT(api_.CV_VerifyCertificate(&context, &bad, &bad, &bad, &bad, &detail), 0);
    ASSERT_NE(detail, nullptr);
    EXPECT_GT(std::strlen(detail), 0u);
    EXPECT_EQ(api_.CV_Free(detail), 0);
    ByteBuffer out{0, nullptr};
    EXPECT_LT(api_.CV_PemDecode("no PEM here", &out), 0);
    EXPECT_LT(api_.CV_EncryptForCertificate(&context, &bad, &bad, &out), 0);
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(api_.CV_ContextFree(&context), 0);
    EXPECT_LT(api_.CV_ContextFree(&context), 0);
    EXPECT_LT(api_.CV_DecryptPrivateKey(&context, &bad, &bad, &out), 0);
}

} // namespace
