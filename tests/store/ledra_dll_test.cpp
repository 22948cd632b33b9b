// Ledra.dll and ledra-tool.exe as Windows runs them: a Windows program loads the DLL by full path
// from beside Quillmark.dll, binds its eleven functions by name and calls them: the registry
// values over the real (Wine) registry, and the certificate functions over a store that
// ledra-tool.exe made (QUILLMARK_STORE, a folder with a Korean name), with DNs in the process's
// ANSI code page, 949. The tool runs as a user would run it, its output read from a file.
//
// What Wine shows of a folder's security comes from its Unix owner and mode: a folder that root
// gave to another user has another owner (Anonymous), and one that everyone may write to has an
// entry for Everyone that lets them. A group of others, another named account, and an ACL that
// mode bits cannot express are beyond it; the store's own tests judge those natively.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "external/store.h"
#include "platform/Raii.h"
#include "store/core/errors.h"
#include "tests/support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace err = ledra::err;
namespace fs = std::filesystem;
using ::testing::HasSubstr;

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
    if (WCHAR* dos = toDos != nullptr ? toDos(narrow.c_str()) : nullptr) {
        std::wstring out(dos);
        HeapFree(GetProcessHeap(), 0, dos);
        return out;
    }
    std::wstring out = L"Z:" + path;
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

std::wstring DllPath() {
    std::wstring folder = Environment(L"QM_BIN");
    return folder.empty() ? L"Ledra.dll" : WindowsPath(folder) + L"\\Ledra.dll";
}

fs::path StorePath() {
    return fs::path(Environment(L"QUILLMARK_STORE")).make_preferred();
}

std::string Utf8(const fs::path& text) {
    std::u8string utf8 = text.u8string();
    return std::string(utf8.begin(), utf8.end());
}

// A fresh folder with a Korean name in the user's temporary folder, removed with its content.
class ScratchFolder : public qmtest::TempDir {
public:
    ScratchFolder() : TempDir(L"레드라 시험") {}
};

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// ledra-tool.exe from beside the DLL, with this process's environment; its standard output and
// standard error go to files, as to a pipe.
struct ToolRun {
    DWORD status = ~0u;
    std::string out; // UTF-8
    std::string err;
};

ToolRun RunTool(const std::vector<std::wstring>& args) {
    ScratchFolder io;
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    auto output = [&](const wchar_t* name) {
        return qm::UniqueHandle(CreateFileW((io.path() / name).c_str(), GENERIC_WRITE, 0,
                                            &inherited, CREATE_ALWAYS, 0, nullptr));
    };
    qm::UniqueHandle out = output(L"out"), err = output(L"err");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::wstring line = L"\"" + WindowsPath(Environment(L"QM_BIN")) + L"\\ledra-tool.exe\"";
    for (const std::wstring& a : args) {
        line += L" \"" + a + L"\"";
    }
    PROCESS_INFORMATION process{};
    ToolRun run;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
        qm::UniqueHandle child(process.hProcess), thread(process.hThread);
        WaitForSingleObject(child.get(), 120000);
        GetExitCodeProcess(child.get(), &run.status);
    }
    out.reset();
    err.reset();
    run.out = Slurp(io.path() / L"out");
    run.err = Slurp(io.path() / L"err");
    return run;
}

std::wstring UserSid() {
    qm::UniqueHandle token;
    BYTE user[256] = {};
    DWORD size = sizeof(user);
    qm::LocalMemory<wchar_t> text;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) {
        GetTokenInformation(token.get(), TokenUser, user, size, &size);
    }
    ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, text.out());
    return text ? text.get() : L"";
}

// A file's or folder's owner, and whom its DACL grants something, in SDDL's words ("SY").
struct Security {
    std::wstring owner;
    std::set<std::wstring> grantees;
};

Security SecurityOf(const fs::path& path) {
    qm::LocalMemory<void> descriptor;
    qm::LocalMemory<wchar_t> text;
    SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr,
                          descriptor.out());
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.get(), SDDL_REVISION_1, what,
                                                         text.out(), nullptr);
    std::wstring sddl = text ? text.get() : L""; // "O:<owner>D:(A;OICI;FA;;;SY)..."
    Security security;
    security.owner = sddl.substr(2, sddl.find(L"D:") - 2);
    for (size_t open = sddl.find(L'('); open != std::wstring::npos;
         open = sddl.find(L'(', open + 1)) {
        size_t close = sddl.find(L')', open), last = sddl.rfind(L';', close);
        security.grantees.insert(sddl.substr(last + 1, close - last - 1));
    }
    return security;
}

// Owned by the user, and nobody but the user, SYSTEM and the administrators granted anything.
void ExpectTheUsersAlone(const fs::path& path) {
    Security security = SecurityOf(path);
    std::wstring user = UserSid();
    EXPECT_EQ(security.owner, user) << Utf8(path);
    for (const std::wstring& who : security.grantees) {
        EXPECT_TRUE(who == L"SY" || who == L"BA" || who == user) << Utf8(path) << ": " << Utf8(who);
    }
}

// Lets everyone write to the folder, as a Windows user would in its security settings (Wine
// turns it into mode 0777).
bool OpenToEveryone(const fs::path& folder) {
    std::wstring sddl = L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;" + UserSid() + L")";
    qm::LocalMemory<void> descriptor;
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                descriptor.out(), nullptr) &&
           SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.get());
}

// A copy of the demo store in a scratch folder, the store that the DLL reads from now on.
fs::path UseACopyOfTheStore(const ScratchFolder& scratch) {
    fs::path copy = scratch.path() / L"저장소";
    fs::copy(StorePath(), copy, fs::copy_options::recursive);
    SetEnvironmentVariableW(L"QUILLMARK_STORE", copy.c_str());
    return copy;
}

class LedraDll : public ::testing::Test {
protected:
    static void SetUpTestSuite() { module_ = LoadLibraryW(DllPath().c_str()); }
    static void TearDownTestSuite() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr) << "cannot load Ledra.dll (error " << GetLastError() << ")";
        qm::ForEachStoreFunction([&]<typename F>(F StoreApi::*slot, const char* name, auto) {
            api_.*slot =
                reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
            ASSERT_NE(api_.*slot, nullptr) << name << " is not exported by name";
        });
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKeyFull);
    }

    void TearDown() override {
        SetEnvironmentVariableW(L"QUILLMARK_STORE", store_.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, kTestKeyFull);
        RegDeleteKeyValueA(HKEY_CURRENT_USER, "SOFTWARE\\TesselCorp\\Oriel\\Veyra",
                           "LedraTestCount");
    }

    int32_t CountOwn(int medium = 0) {
        std::vector<char> area(qm::kDnAreaSize);
        return api_.LD_GetKeyDN(qm::kKindOwn, area.data(), medium, 700);
    }

    static HMODULE module_;
    StoreApi api_{};
    const std::wstring store_ = Environment(L"QUILLMARK_STORE"); // Z:/..., from scripts/winerun
};

HMODULE LedraDll::module_ = nullptr;

// The names that Ledra.dll publishes, as callers built against it know them: the store's table
// may add functions but never rename one, and nothing else is exported.
TEST_F(LedraDll, ExportsExactlyThePublishedNames) {
    const std::set<std::string> published = {
        "LD_GetCert",    "LD_GetCertInfo",  "LD_GetKey",        "LD_GetKeyDN",
        "LD_GetKeyInfo", "LD_GetMyCert",    "LD_GetRegValueN",  "LD_GetRegValueSZ",
        "LD_IsRegKey",   "LD_SetRegValueN", "LD_SetRegValueSZ",
    };
    auto base = reinterpret_cast<const BYTE*>(module_);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> exported;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        exported.insert(reinterpret_cast<const char*>(base + names[i]));
    }
    EXPECT_EQ(exported, published);
    EXPECT_EQ(exports->NumberOfFunctions, published.size());
    std::set<std::string> table;
    qm::ForEachStoreFunction([&](auto, const char* name, auto) { table.insert(name); });
    EXPECT_EQ(table, published);
}

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

// What Quillmark.dll loads is a Windows DLL of its own, taken from beside it: never a Wine
// builtin, whose image Wine marks as it marks its own DLLs.
TEST_F(LedraDll, IsAGenuineWindowsDllFromBesideQuillmark) {
    wchar_t loaded[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameW(module_, loaded, MAX_PATH), 0u);
    EXPECT_TRUE(fs::equivalent(loaded, DllPath()));
    auto marked = [](HMODULE module) {
        return std::memcmp(reinterpret_cast<const char*>(module) + sizeof(IMAGE_DOS_HEADER),
                           "Wine builtin DLL", 16) == 0;
    };
    ASSERT_TRUE(marked(GetModuleHandleW(L"kernel32.dll"))) << "the mark to look for has changed";
    EXPECT_FALSE(marked(module_));
}

// The root is what QUILLMARK_STORE says now, when it is an absolute path, else the user's local
// application data folder; a path that would depend on the current folder or drive names none.
TEST_F(LedraDll, FollowsTheStoreThatTheWindowsEnvironmentNames) {
    ASSERT_EQ(store_.rfind(L"Z:", 0), 0u);
    // Set by the Windows program itself (the Unix environment never sees it).
    ASSERT_TRUE(SetEnvironmentVariableW(L"QUILLMARK_STORE", StorePath().c_str()));
    EXPECT_EQ(CountOwn(), 6);
    SetEnvironmentVariableW(L"QUILLMARK_STORE", (store_ + L"/missing").c_str());
    EXPECT_EQ(CountOwn(), err::kNoMedium);
    for (const wchar_t* relative : {L"store", L"\\store", L"Z:store", L"/tmp/store"}) {
        SetEnvironmentVariableW(L"QUILLMARK_STORE", relative);
        EXPECT_EQ(CountOwn(), err::kNoStore) << Utf8(relative);
    }
    // A Linux path, as a shell that sourced the project's environment passes it: the tool names
    // the Windows variables and the form that works.
    ToolRun linuxPath = RunTool({L"list"});
    EXPECT_EQ(linuxPath.status, 1u);
    EXPECT_THAT(linuxPath.err, HasSubstr("%QUILLMARK_STORE% is \"/tmp/store\", which is not an "
                                         "absolute Windows path"));
    EXPECT_THAT(linuxPath.err, HasSubstr("Z:\\"));
    EXPECT_THAT(linuxPath.err, HasSubstr("%LOCALAPPDATA%\\Quillmark\\Store"));

    SetEnvironmentVariableW(L"QUILLMARK_STORE", nullptr);
    qm::TaskMemory<wchar_t> local;
    ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, local.out()), S_OK);
    fs::path quillmark = fs::path(local.get()) / L"Quillmark";
    if (fs::exists(quillmark)) {
        GTEST_SKIP() << "the prefix's user keeps a store of their own: it is left alone";
    }
    EXPECT_EQ(CountOwn(), err::kNoMedium);
    ToolRun init = RunTool({L"init"});
    EXPECT_EQ(init.status, 0u) << init.err;
    EXPECT_EQ(init.out, "store ready at " + Utf8(quillmark / L"Store") + "\n");
    EXPECT_EQ(CountOwn(), 0);
    fs::remove_all(quillmark);
}

// The tool as a user runs it: Korean folder names in, UTF-8 text out (to a file or a pipe), what
// it makes is the user's alone, and what it writes appears whole or not at all.
TEST_F(LedraDll, TheToolTakesKoreanPathsAndMakesWhatIsTheUsersAlone) {
    ToolRun run = RunTool({L"list", L"--medium", L"0"});
    ASSERT_EQ(run.status, 0u) << run.err;
    EXPECT_THAT(run.out, HasSubstr("cn=홍길동,ou=Users,o=Quillmark Demo,c=KR"));
    EXPECT_THAT(run.out, HasSubstr(Utf8(store_)));

    ScratchFolder scratch;
    fs::path root = scratch.path() / L"새 저장소";
    run = RunTool({L"--store", root.wstring(), L"init"});
    ASSERT_EQ(run.status, 0u) << run.err;
    EXPECT_EQ(run.out, "store ready at " + Utf8(root) + "\n");
    std::wstring server = (StorePath() / L"demo" / L"server.pem").wstring();
    run = RunTool({L"--store", root.wstring(), L"import-recipient", L"--cert", server});
    ASSERT_EQ(run.status, 0u) << run.err;
    run = RunTool({L"--store", root.wstring(), L"import-recipient", L"--cert", server});
    EXPECT_EQ(run.status, 1u);
    EXPECT_THAT(run.err, HasSubstr("already in the recipients"));

    // Two media chosen one after the other: the link is replaced whole, and each folder closed.
    fs::path first = scratch.path() / L"막대 하나", second = scratch.path() / L"막대 둘";
    fs::create_directory(first);
    fs::create_directory(second);
    for (const fs::path& stick : {first, second}) {
        run = RunTool({L"--store", root.wstring(), L"medium", L"1", stick.wstring()});
        ASSERT_EQ(run.status, 0u) << run.err;
        ExpectTheUsersAlone(stick); // it was open to everyone's reading
    }
    EXPECT_EQ(Slurp(root / L"medium1.link"), Utf8(second) + "\n");

    // Everything it made is the user's alone, and no temporary name is left behind.
    ExpectTheUsersAlone(root);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        ExpectTheUsersAlone(entry.path());
        EXPECT_NE(entry.path().filename().wstring()[0], L'.') << Utf8(entry.path());
    }

    // What a crash while writing leaves is under a temporary name, which is never read.
    fs::path half = root / L"recipients" / L".new-0123456789abcdef-0123456789ab";
    fs::create_directory(half);
    std::string pem = Slurp(server);
    std::ofstream(half / L"cert.der", std::ios::binary) << pem.substr(0, pem.size() / 2);
    SetEnvironmentVariableW(L"QUILLMARK_STORE", root.c_str());
    std::vector<CertInfoRecord> records(qm::kMaxListEntries);
    EXPECT_EQ(api_.LD_GetCertInfo(qm::kKindRecipient, records.data(), 0), 1);
}

// Whoever may write to a folder of the store may plant an entry there: a root or a medium that
// everyone may write to is refused, by the DLL and the tool, and a medium kept elsewhere must
// exist before it is chosen (an unmounted stick's folder would put the keys on the system disk).
TEST_F(LedraDll, RefusesARootOrMediumThatOthersMayWriteTo) {
    ScratchFolder scratch;
    fs::path root = UseACopyOfTheStore(scratch);
    fs::path stick = scratch.path() / L"이동식 디스크";
    fs::copy(root / L"medium0", stick, fs::copy_options::recursive);
    std::ofstream(root / L"medium1.link", std::ios::binary) << Utf8(stick) + "\n";
    EXPECT_EQ(CountOwn(1), 6);

    ASSERT_TRUE(OpenToEveryone(stick));
    EXPECT_EQ(CountOwn(1), err::kOpenStore);
    EXPECT_EQ(CountOwn(0), 6);
    fs::path missing = scratch.path() / L"꽂히지 않은 막대";
    for (const fs::path& folder : {stick, missing}) {
        ToolRun run = RunTool({L"medium", L"2", folder.wstring()});
        EXPECT_EQ(run.status, 1u) << run.out;
        EXPECT_THAT(run.err, HasSubstr(folder == stick ? "can be written by other users"
                                                       : "does not exist"));
    }
    // Who may write, and how to close the folder to them.
    ToolRun refused = RunTool({L"medium", L"2", stick.wstring()});
    EXPECT_THAT(refused.err, HasSubstr("(Everyone (S-1-1-0))"));
    EXPECT_THAT(refused.err, HasSubstr("\n    icacls \"" + Utf8(stick) +
                                       "\" /inheritance:r /grant:r \"*" + Utf8(UserSid()) +
                                       ":(OI)(CI)F\" \"*S-1-5-18:(OI)(CI)F\" "
                                       "\"*S-1-5-32-544:(OI)(CI)F\"\n    icacls \"" +
                                       Utf8(stick) + "\" /remove:g *S-1-1-0\n"));
    EXPECT_FALSE(fs::exists(root / L"medium2.link"));
    EXPECT_FALSE(fs::exists(missing));

    ASSERT_TRUE(OpenToEveryone(root));
    EXPECT_EQ(CountOwn(0), err::kOpenStore);
    std::vector<uint8_t> block(qm::kStoreBlockSize);
    ByteBuffer out{0, block.data()};
    EXPECT_EQ(api_.LD_GetCert(kServer, qm::kKindRecipient, &out), err::kOpenStore);
    ToolRun run = RunTool({L"list"});
    EXPECT_EQ(run.status, 1u);
    EXPECT_THAT(run.err, HasSubstr("can be written by other users"));
}

// Someone who may rename what lies on the way to a medium kept elsewhere swaps, over and over, the
// user's own folder and a folder of theirs that everyone may write to (with nothing there in
// between), while the DLL lists and reads the medium. What it hands out comes from the folder
// that it judged, never from the planted one. (Wine makes no junctions: a rename is the swap.)
TEST_F(LedraDll, AMediumSwappedWhileItIsReadShowsOnlyWhatWasJudged) {
    ScratchFolder scratch;
    fs::path root = UseACopyOfTheStore(scratch);
    fs::path own = scratch.path() / L"own", planted = scratch.path() / L"planted";
    fs::path way = scratch.path() / L"way";
    // The user's own medium: 홍길동's entry alone (a listing of one entry is quick under Wine).
    fs::create_directory(own);
    for (const auto& entry : fs::directory_iterator(root / L"medium0")) {
        if (Slurp(entry.path() / L"cert.der").find("\xED\x99\x8D\xEA\xB8\xB8\xEB\x8F\x99") !=
            std::string::npos) {
            fs::copy(entry.path(), own / entry.path().filename(), fs::copy_options::recursive);
        }
    }
    // The planter knows the ids of the user's entries (their certificates' fingerprints) and
    // plants the server's certificate as a user's under each of them (beside any key: a listing
    // checks a key's form only).
    fs::path server = fs::directory_iterator(root / L"recipients")->path();
    for (const auto& entry : fs::directory_iterator(own)) {
        fs::path copy = planted / entry.path().filename();
        fs::create_directories(copy);
        fs::copy_file(server / L"cert.der", copy / L"cert.der");
        fs::copy_file(entry.path() / L"key.p8", copy / L"key.p8");
    }
    ASSERT_TRUE(OpenToEveryone(planted));
    fs::rename(own, way);
    std::ofstream(root / L"medium1.link", std::ios::binary) << Utf8(way) + "\n";
    ASSERT_EQ(CountOwn(1), 1);

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const std::pair<fs::path, fs::path> moves[] = {
            {way, own}, {planted, way}, {way, planted}, {own, way}};
        for (size_t i = 0; !stop.load();) {
            const auto& [from, to] = moves[i % 4];
            i += MoveFileExW(from.c_str(), to.c_str(), 0) ? 1 : 0;
            Sleep(1); // about half as long as a listing takes
        }
    });
    constexpr int kCalls = 1000;
    int plantedListed = 0, plantedHandedOut = 0, ownListed = 0, refused = 0, noMedium = 0;
    std::vector<char> area(qm::kDnAreaSize);
    std::vector<uint8_t> block(qm::kStoreBlockSize);
    for (int call = 0; call < kCalls; ++call) {
        int32_t count = api_.LD_GetKeyDN(qm::kKindOwn, area.data(), 1, 700);
        std::set<std::string> dns;
        for (int i = 0; i < count; ++i) {
            dns.insert(area.data() + i * qm::kDnSlotSize);
        }
        plantedListed += dns.count(kServer) != 0;
        ownListed += dns.count(kHong) != 0;
        refused += count == err::kOpenStore;
        noMedium += count == err::kNoMedium;
        ByteBuffer out{0, block.data()};
        plantedHandedOut += api_.LD_GetMyCert(kServer, qm::kKindOwn, 1, 700, "5821", &out) == 0;
    }
    stop = true;
    swapper.join();
    std::printf("planted DNs listed in %d of %d calls, a planted certificate handed out in %d; "
                "the own medium listed in %d, refused %d, no medium %d\n",
                plantedListed, kCalls, plantedHandedOut, ownListed, refused, noMedium);
    EXPECT_EQ(plantedListed, 0);
    EXPECT_EQ(plantedHandedOut, 0);
    // The race ran: every state of the way was met.
    EXPECT_GT(ownListed, 0);
    EXPECT_GT(refused, 0);
    EXPECT_GT(noMedium, 0);
}

// A folder that another user owns (the fixture gives one to "nobody" when it runs as root).
TEST_F(LedraDll, RefusesARootOrMediumThatAnotherUserOwns) {
    fs::path foreign = WindowsPath(Environment(L"QM_FOREIGN_FOLDER"));
    ASSERT_TRUE(fs::is_directory(foreign));
    if (SecurityOf(foreign).owner == UserSid()) {
        GTEST_SKIP() << "only root can give a folder to another user";
    }
    EXPECT_EQ(SecurityOf(foreign).owner, L"AN") << "Wine shows another Unix user as Anonymous";
    ScratchFolder scratch;
    fs::path root = UseACopyOfTheStore(scratch);
    std::ofstream(root / L"medium2.link", std::ios::binary) << Utf8(foreign) + "\n";
    EXPECT_EQ(CountOwn(2), err::kForeignStore);
    EXPECT_EQ(CountOwn(0), 6);
    ToolRun run = RunTool({L"medium", L"3", foreign.wstring()});
    EXPECT_EQ(run.status, 1u);
    EXPECT_THAT(run.err, HasSubstr("belongs to another user"));

    SetEnvironmentVariableW(L"QUILLMARK_STORE", foreign.c_str());
    EXPECT_EQ(CountOwn(0), err::kForeignStore);
}

} // namespace
