// Ledra.dll as Quillmark.dll meets it: a Windows program loads the DLL by full path, binds its
// eleven functions by name and calls them across the boundary between Windows code and the
// Winelib export layer: the registry values over the real (Wine) registry, and the certificate
// functions over a store that the native store tool made (QUILLMARK_STORE), with DNs in the
// process's ANSI code page, 949.
#include <windows.h>

#include "external/store.h"
#include "store/core/errors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

namespace err = ledra::err;

// "cn=홍길동,ou=Users,o=Quillmark Demo,c=KR" in code page 949.
const char kHong[] = "cn=\xC8\xAB\xB1\xE6\xB5\xBF,ou=Users,o=Quillmark Demo,c=KR";
const char kServer[] = "cn=Quillmark Demo Server,ou=Servers,o=Quillmark Demo,c=KR";
const char kTestKey[] = "Veyra\\LedraTest";
const char kTestKeyFull[] = "SOFTWARE\\TesselCorp\\Oriel\\Veyra\\LedraTest";

std::wstring Environment(const wchar_t* name) {
    std::vector<wchar_t> buffer(32768);
    DWORD n = GetEnvironmentVariableW(name, buffer.data(), DWORD(buffer.size()));
    return n == 0 || n >= buffer.size() ? std::wstring() : std::wstring(buffer.data(), n);
}

// A Unix path (as the test's environment gives it under Wine) in Windows form.
std::wstring WindowsPath(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') {
        return path;
    }
    using ToDos = WCHAR*(CDECL*)(const char*);
    auto toDos = reinterpret_cast<ToDos>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    std::string narrow(path.begin(), path.end()); // the build paths are ASCII
    if (toDos != nullptr) {
        if (WCHAR* dos = toDos(narrow.c_str())) {
            std::wstring out(dos);
            HeapFree(GetProcessHeap(), 0, dos);
            return out;
        }
    }
    std::wstring out = L"Z:" + path;
    for (wchar_t& c : out) {
        c = c == L'/' ? L'\\' : c;
    }
    return out;
}

std::wstring DllPath() {
    std::wstring folder = Environment(L"QM_BIN");
    return folder.empty() ? L"Ledra.dll" : WindowsPath(folder) + L"\\Ledra.dll";
}

class LedraDll : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module_ = LoadLibraryW(DllPath().c_str()); }
    static void TearDownTestSuite() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    template <typename F> void Bind(F& slot, const char* name) {
        slot = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        ASSERT_NE(slot, nullptr) << name << " is not exported by name";
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr) << "cannot load Ledra.dll (error " << GetLastError() << ")";
        Bind(api_.LD_GetKeyDN, "LD_GetKeyDN");
        Bind(api_.LD_GetKeyInfo, "LD_GetKeyInfo");
        Bind(api_.LD_GetCertInfo, "LD_GetCertInfo");
        Bind(api_.LD_GetMyCert, "LD_GetMyCert");
        Bind(api_.LD_GetCert, "LD_GetCert");
        Bind(api_.LD_GetKey, "LD_GetKey");
        Bind(api_.LD_IsRegKey, "LD_IsRegKey");
        Bind(api_.LD_GetRegValueN, "LD_GetRegValueN");
        Bind(api_.LD_SetRegValueN, "LD_SetRegValueN");
        Bind(api_.LD_GetRegValueSZ, "LD_GetRegValueSZ");
        Bind(api_.LD_SetRegValueSZ, "LD_SetRegValueSZ");
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKeyFull);
    }

    void TearDown() override {
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKeyFull);
        HKEY veyra = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\TesselCorp\\Oriel\\Veyra", 0, KEY_SET_VALUE,
                          &veyra) == ERROR_SUCCESS) {
            RegDeleteValueA(veyra, "LedraTestCount");
            RegCloseKey(veyra);
        }
    }

    static HMODULE module_;
    StoreApi api_{};
};

HMODULE LedraDll::module_ = nullptr;

TEST_F(LedraDll, MissingRegistryValuesReadAsZeroAndEmptyText) {
    int32_t number = 12345;
    EXPECT_EQ(api_.LD_GetRegValueN(kTestKey, "absent", &number), err::kRegistryMissing);
    EXPECT_EQ(number, 0);
    std::vector<char> text(qm::kRegTextSize, 'x');
    EXPECT_EQ(api_.LD_GetRegValueSZ(kTestKey, "absent", text.data()), err::kRegistryMissing);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x') << "only the terminator is written for a missing text";
    EXPECT_EQ(api_.LD_IsRegKey(kTestKeyFull, "absent"), 0);
    EXPECT_EQ(api_.LD_IsRegKey("SOFTWARE\\TesselCorp\\Oriel\\Nowhere", "Count"), 0);

    // A value of the other type reads as missing does, with its own code.
    ASSERT_EQ(api_.LD_SetRegValueN(kTestKey, "n", 7), 0);
    ASSERT_EQ(api_.LD_SetRegValueSZ(kTestKey, "s", "text"), 0);
    number = 99;
    EXPECT_EQ(api_.LD_GetRegValueN(kTestKey, "s", &number), err::kRegistryType);
    EXPECT_EQ(number, 0);
    text.assign(text.size(), 'x');
    EXPECT_EQ(api_.LD_GetRegValueSZ(kTestKey, "n", text.data()), err::kRegistryType);
    EXPECT_EQ(text[0], '\0');
}

TEST_F(LedraDll, TheFullPathAndTheValuePathNameTheSameValue) {
    ASSERT_EQ(api_.LD_SetRegValueN("Veyra", "LedraTestCount", 41), 0);
    EXPECT_EQ(api_.LD_IsRegKey("SOFTWARE\\TesselCorp\\Oriel\\Veyra", "LedraTestCount"), 1);
    int32_t number = 0;
    EXPECT_EQ(api_.LD_GetRegValueN("Veyra", "LedraTestCount", &number), 0);
    EXPECT_EQ(number, 41);
    // Where it really lives: HKEY_CURRENT_USER, as a DWORD.
    DWORD data = 0, size = sizeof(data), type = 0;
    ASSERT_EQ(RegGetValueA(HKEY_CURRENT_USER, "SOFTWARE\\TesselCorp\\Oriel\\Veyra",
                           "LedraTestCount", RRF_RT_ANY, &type, &data, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(data, 41u);
    ASSERT_EQ(api_.LD_SetRegValueN("Veyra", "LedraTestCount", -1), 0);
    EXPECT_EQ(api_.LD_GetRegValueN("Veyra", "LedraTestCount", &number), 0);
    EXPECT_EQ(number, -1);
}

TEST_F(LedraDll, TextsReadBackWithAtMost2047Characters) {
    std::string shortText = "Base64+/=";
    ASSERT_EQ(api_.LD_SetRegValueSZ(kTestKey, "b", shortText.c_str()), 0);
    std::vector<char> text(2 * qm::kRegTextSize, 'Z');
    ASSERT_EQ(api_.LD_GetRegValueSZ(kTestKey, "b", text.data()), 0);
    EXPECT_STREQ(text.data(), shortText.c_str());

    std::string longText(5000, 'q');
    for (size_t i = 0; i < longText.size(); ++i) {
        longText[i] = char('a' + i % 26);
    }
    ASSERT_EQ(api_.LD_SetRegValueSZ(kTestKey, "c", longText.c_str()), 0);
    text.assign(text.size(), 'Z');
    EXPECT_EQ(api_.LD_GetRegValueSZ(kTestKey, "c", text.data()), err::kRegistryTruncated);
    EXPECT_EQ(std::string(text.data()), longText.substr(0, 2047));
    EXPECT_EQ(text[2047], '\0');
    for (size_t i = qm::kRegTextSize; i < text.size(); ++i) {
        ASSERT_EQ(text[i], 'Z') << "byte " << i << " beyond the 2,048-byte buffer was written";
    }

    // A cut never splits a double-byte character of code page 949: 1,500 syllables of 2 bytes
    // leave 1,023 whole ones (2,046 bytes), not a lone lead byte at 2,047.
    std::string hangul;
    for (int i = 0; i < 1500; ++i) {
        hangul += "\xB0\xA1"; // 가
    }
    ASSERT_EQ(api_.LD_SetRegValueSZ(kTestKey, "k", hangul.c_str()), 0);
    text.assign(text.size(), 'Z');
    EXPECT_EQ(api_.LD_GetRegValueSZ(kTestKey, "k", text.data()), err::kRegistryTruncated);
    EXPECT_EQ(std::string(text.data()), hangul.substr(0, 2046));
}

TEST_F(LedraDll, ListsTheStoresKoreanDnsInCodePage949) {
    ASSERT_EQ(GetACP(), 949u) << "the test environment should run with LANG=ko_KR.UTF-8";
    std::vector<char> area(qm::kDnAreaSize + 64, '\x7F');
    int32_t count = api_.LD_GetKeyDN(qm::kKindOwn, area.data(), 0, 700);
    ASSERT_EQ(count, 6);
    std::set<std::string> dns;
    for (int i = 0; i < count; ++i) {
        dns.insert(area.data() + i * qm::kDnSlotSize);
    }
    EXPECT_TRUE(dns.count(kHong)) << "the Korean DN did not come back in code page 949";
    EXPECT_EQ(area[qm::kDnAreaSize], '\x7F');

    std::vector<CertInfoRecord> records(qm::kMaxListEntries);
    ASSERT_EQ(api_.LD_GetCertInfo(qm::kKindRecipient, records.data(), 0), 1);
    EXPECT_STREQ(records[0].subjectDN, kServer);
    EXPECT_STREQ(records[0].issuerDN, "cn=Quillmark Demo CA 1,o=Quillmark Demo,c=KR");
    EXPECT_GT(records[0].expiry, 1700000000);
    EXPECT_EQ(api_.LD_GetKeyInfo(qm::kKindOwn, records.data(), 0, 700, "5821"), 6);
}

TEST_F(LedraDll, HandsOutCertificatesAndKeysIntoTheCallersBlock) {
    std::vector<uint8_t> block(qm::kStoreBlockSize, 0);
    ByteBuffer out{0, block.data()};
    ASSERT_EQ(api_.LD_GetCert(kServer, qm::kKindRecipient, &out), 0);
    EXPECT_GT(out.length, 500);
    EXPECT_EQ(block[0], 0x30); // a DER SEQUENCE
    ASSERT_EQ(api_.LD_GetMyCert(kHong, qm::kKindOwn, 0, 700, "5821", &out), 0);
    EXPECT_EQ(block[0], 0x30);
    int32_t certLength = out.length;
    ASSERT_EQ(api_.LD_GetKey(kHong, qm::kKindOwn, 0, 700, "5821", &out), 0);
    EXPECT_EQ(block[0], 0x30);
    EXPECT_NE(out.length, certLength);
    EXPECT_EQ(api_.LD_GetKey(kHong, qm::kKindOwn, 0, 700, "0000", &out), err::kWrongPassword);
    EXPECT_EQ(api_.LD_GetMyCert(kHong, qm::kKindOwn, 4, 700, "5821", &out), err::kBadMedium);
    EXPECT_EQ(out.length, 0);
}

TEST_F(LedraDll, FollowsTheStoreThatTheWindowsEnvironmentNames) {
    std::wstring unixRoot = Environment(L"QUILLMARK_STORE");
    ASSERT_FALSE(unixRoot.empty());
    std::vector<char> area(qm::kDnAreaSize);

    // The same store through its Windows path.
    ASSERT_TRUE(SetEnvironmentVariableW(L"QUILLMARK_STORE", WindowsPath(unixRoot).c_str()));
    EXPECT_EQ(api_.LD_GetKeyDN(qm::kKindOwn, area.data(), 0, 700), 6);

    // A variable set by the Windows program itself (the Unix environment never sees it).
    ASSERT_TRUE(SetEnvironmentVariableW(L"QUILLMARK_STORE", (unixRoot + L"/missing").c_str()));
    EXPECT_EQ(api_.LD_GetKeyDN(qm::kKindOwn, area.data(), 0, 700), err::kNoMedium);

    SetEnvironmentVariableW(L"QUILLMARK_STORE", unixRoot.c_str());
    EXPECT_EQ(api_.LD_GetKeyDN(qm::kKindOwn, area.data(), 0, 700), 6);
}

} // namespace
