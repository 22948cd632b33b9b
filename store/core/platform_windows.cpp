// The store on Windows: wide paths throughout (a user's or a folder's name in Korean must work
// whatever the ANSI code page), a protected DACL on whatever the store makes, and renames that
// replace in one step and reach the disk before they return.
#include <windows.h>

#include <aclapi.h>
#include <winternl.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include "platform/Raii.h"
#include "platform/StringConversion.h"
#include "store/core/codepage.h"
#include "store/core/layout.h"
#include "store/core/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace ledra::platform {
namespace {

// Windows' own text for its error codes, in UTF-8 (the runtime's would be in the ANSI code page).
class WindowsCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int code) const override {
        wchar_t* text = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(code), 0,
                                 reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::string message = n != 0 ? qm::Utf16ToUtf8({text, n}) : std::string();
        LocalFree(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.')) {
            message.pop_back();
        }
        return message.empty() ? "Windows error " + std::to_string(code) : message;
    }
};

// A failed call as the store's callers see failures: EEXIST where the name is taken (the writers
// of entries look for it), else Windows' code and message. The error is taken before the message
// is made: converting a path sets it again.
[[noreturn]] void ThrowLastError(const char* what, const fs::path& path = {},
                                 const char* after = "") {
    DWORD error = GetLastError();
    static const WindowsCategory category;
    std::string message = what;
    if (!path.empty()) {
        message += " " + PathText(path) + after;
    }
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        throw std::system_error(EEXIST, std::generic_category(), message);
    }
    throw std::system_error(static_cast<int>(error), category, message);
}

// A variable of this process's environment as the process itself may have set it (the C
// runtime's copy would miss what SetEnvironmentVariable changed); empty when unset.
std::wstring EnvironmentValue(const std::wstring& name) {
    for (int attempt = 0; attempt < 3; ++attempt) { // it may grow between the two calls
        DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
        if (size == 0) {
            return {};
        }
        std::wstring value(size, L'\0');
        DWORD n = GetEnvironmentVariableW(name.c_str(), value.data(), size);
        if (n < size) {
            value.resize(n);
            return value;
        }
    }
    return {};
}

std::string SidText(PSID sid) {
    qm::LocalMemory<wchar_t> text;
    if (sid == nullptr || !ConvertSidToStringSidW(sid, text.out())) {
        return {};
    }
    return qm::Utf16ToUtf8(text.get());
}

// The user whose store this is: the token's user. (Its default owner may be a group: under Wine
// it is a "domain users" group, on Windows the administrators for an elevated administrator.)
std::string ReadUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    qm::UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        return {};
    }
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

// The process's user does not change while it runs: read once, not for every folder inspected
// and every file written. (Empty, and read again next time, only if the token could not be read.)
std::string UserSid() {
    static const std::string user = ReadUserSid();
    return user.empty() ? ReadUserSid() : user;
}

// An account's name as the system shows it ("Everyone", "BUILTIN\\Users") with its SID, or the
// SID alone when it names no account the system knows.
std::string AccountName(const std::string& sidText) {
    qm::LocalMemory<void> sid;
    if (!ConvertStringSidToSidW(qm::Utf8ToUtf16(sidText).c_str(), sid.out())) {
        return sidText;
    }
    wchar_t name[256] = {}, domain[256] = {};
    DWORD nameSize = 256, domainSize = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, sid.get(), name, &nameSize, domain, &domainSize, &use)) {
        return sidText;
    }
    std::wstring account = domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : name;
    return qm::Utf16ToUtf8(account) + " (" + sidText + ")";
}

// The SID of an ACE whose layout puts it right after the mask, else nothing.
PSID SidOf(const ACE_HEADER* header) {
    switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        return const_cast<DWORD*>(&reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->SidStart);
    default:
        return nullptr;
    }
}

bool IsGrant(BYTE type) {
    return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

std::vector<AccessEntry> Entries(const ACL* dacl) {
    std::vector<AccessEntry> entries;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) {
            continue;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        AccessEntry entry;
        entry.allows = IsGrant(header->AceType);
        entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
        // Every access ACE keeps its mask right after the header; an object ACE's SID, which
        // files never carry, is left unread and so trusted by nobody.
        entry.mask = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header)->Mask;
        entry.sid = SidText(SidOf(header));
        entries.push_back(std::move(entry));
    }
    return entries;
}

// What the store makes: owned by the user, and a protected DACL (nothing inherited from a folder
// above that others may write to) granting the user, SYSTEM and the administrators, as Windows'
// own per-user folders do. Folders pass the grants on to what is made inside them.
class PrivateSecurity {
public:
    explicit PrivateSecurity(bool folder) {
        std::wstring user = qm::Utf8ToUtf16(UserSid());
        if (user.empty()) {
            ThrowLastError("cannot read this process's user");
        }
        const wchar_t* inherit = folder ? L"OICI" : L"";
        std::wstring sddl = L"O:" + user + L"D:P";
        for (const std::wstring& who : {std::wstring(L"SY"), std::wstring(L"BA"), user}) {
            sddl += L"(A;" + std::wstring(inherit) + L";FA;;;" + who + L")";
        }
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  descriptor_.out(), nullptr)) {
            ThrowLastError("cannot make a private security descriptor");
        }
        attributes_.nLength = sizeof(attributes_);
        attributes_.lpSecurityDescriptor = descriptor_.get();
        attributes_.bInheritHandle = FALSE;
    }
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }

private:
    qm::LocalMemory<void> descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

// What the security functions gave of an owner and a DACL, as the rules of access.h take it.
WindowsSecurity SecurityFrom(PSID owner, const ACL* dacl) {
    WindowsSecurity security;
    security.owner = SidText(owner);
    security.user = UserSid();
    security.hasDacl = dacl != nullptr;
    if (dacl != nullptr) {
        security.dacl = Entries(dacl);
    }
    return security;
}

std::optional<WindowsSecurity> ReadSecurity(const fs::path& path) {
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    qm::LocalMemory<void> descriptor;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, descriptor.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return SecurityFrom(owner, dacl);
}

std::optional<WindowsSecurity> ReadSecurity(HANDLE handle) {
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    qm::LocalMemory<void> descriptor;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, descriptor.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return SecurityFrom(owner, dacl);
}

// The volume of a path: whether it keeps ACLs (true for one that cannot be asked, which is then
// judged by what its security descriptor says) and whether its drive is removable.
struct Volume {
    bool keepsAcls = true;
    bool removable = false;
};

Volume VolumeOf(const fs::path& path) {
    wchar_t volume[MAX_PATH + 1] = {};
    DWORD flags = 0;
    if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH) ||
        !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
        return {};
    }
    return {(flags & FILE_PERSISTENT_ACLS) != 0, GetDriveTypeW(volume) == DRIVE_REMOVABLE};
}

// The judgement of a folder from its security, asking its volume only when the security could
// be that of a volume without ACLs: asking costs a look at the device, and Wine complains on the
// console when it cannot read one.
template <typename AskVolume>
FolderTrust JudgeSecurity(const std::optional<WindowsSecurity>& security, AskVolume&& volume) {
    if (!security || security->owner.empty() || !security->hasDacl) {
        if (Volume v = volume(); !v.keepsAcls) {
            return JudgeFolderWithoutAcls(v.removable);
        }
    }
    // An owner that cannot be read is not known to be the user.
    return security ? JudgeWindowsFolder(*security) : FolderTrust::kOtherOwner;
}

// The system's own open relative to a folder, NtCreateFile, is taken from ntdll (loaded in every
// process) when it is first needed, so that the DLL imports nothing beyond the usual system DLLs.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*,
                                              IO_STATUS_BLOCK*, LARGE_INTEGER*, ULONG, ULONG, ULONG,
                                              ULONG, void*, ULONG);
using NtQueryVolumeFunction = NTSTATUS(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG,
                                               FS_INFORMATION_CLASS);

template <typename F> F NtFunction(const char* name) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr
               ? nullptr
               : reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

constexpr ULONG kRemovableMedia = 0x1; // FILE_REMOVABLE_MEDIA of FILE_FS_DEVICE_INFORMATION

Volume VolumeOf(HANDLE handle) {
    static const auto query = NtFunction<NtQueryVolumeFunction>("NtQueryVolumeInformationFile");
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)) {
        return {};
    }
    FILE_FS_DEVICE_INFORMATION device{};
    IO_STATUS_BLOCK io{};
    bool removable = query != nullptr &&
                     query(handle, &io, &device, sizeof(device), FileFsDeviceInformation) >= 0 &&
                     (device.Characteristics & kRemovableMedia) != 0;
    return {(flags & FILE_PERSISTENT_ACLS) != 0, removable};
}

constexpr ACCESS_MASK kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr ACCESS_MASK kFileAccess = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Every sharing mode: a reader never stops the tool from replacing or removing anything.
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the name relative to an open folder; null when that fails. `options` says what it must
// be (FILE_DIRECTORY_FILE or FILE_NON_DIRECTORY_FILE) and whether a link is opened as itself
// (FILE_OPEN_REPARSE_POINT) rather than followed.
qm::UniqueHandle OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                              ULONG options) {
    static const auto create = NtFunction<NtCreateFileFunction>("NtCreateFile");
    if (create == nullptr || name.empty() || name.size() > 32767) {
        return {};
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NTSTATUS status = create(&handle, access, &attributes, &io, nullptr, 0, kShareAll, FILE_OPEN,
                             options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return qm::UniqueHandle(status >= 0 ? handle : nullptr);
}

// The attributes of an open file or folder (INVALID_FILE_ATTRIBUTES when they cannot be read).
DWORD AttributesOf(HANDLE handle) {
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof(info))) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return info.FileAttributes;
}

bool IsFolder(HANDLE handle, bool linkAllowed) {
    DWORD attributes = AttributesOf(handle);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (linkAllowed || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
}

// A single name in a folder, never a path that leads elsewhere.
bool IsOneName(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." &&
           name.find_first_of(L"\\/:") == std::wstring::npos;
}

// Reads the regular file open as `file`, of at most `limit` bytes.
bool ReadOpenFile(HANDLE file, size_t limit, WipedBytes& out) {
    LARGE_INTEGER size{};
    if (file == nullptr || GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) ||
        size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > limit) {
        return false;
    }
    // One byte more than the limit tells a file that grew meanwhile from one that did not.
    WipedBytes bytes(limit + 1);
    size_t done = 0;
    for (;;) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD n = 0;
        if (!::ReadFile(file, bytes.data() + done, chunk, &n, nullptr)) {
            return false;
        }
        if (n == 0) {
            break;
        }
        done += n;
        if (done > limit) {
            return false;
        }
    }
    bytes.Shrink(done);
    out = std::move(bytes);
    return true;
}

} // namespace

std::optional<std::string> EnvironmentText(const char* name) {
    std::wstring value = EnvironmentValue(qm::Utf8ToUtf16(name));
    if (value.empty()) {
        return std::nullopt;
    }
    return qm::Utf16ToUtf8(value);
}

fs::path RootFromEnvironment() {
    if (std::wstring root = EnvironmentValue(L"QUILLMARK_STORE"); !root.empty()) {
        return fs::path(root);
    }
    qm::TaskMemory<wchar_t> folder;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr,
                                    folder.out())) ||
        folder.get() == nullptr) {
        return {};
    }
    return fs::path(folder.get()) / L"Quillmark" / L"Store";
}

Folder::Folder(Folder&& other) noexcept
    : path_(std::move(other.path_)), handle_(std::exchange(other.handle_, nullptr)) {}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        qm::UniqueHandle old(static_cast<HANDLE>(handle_));
        path_ = std::move(other.path_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

Folder::~Folder() {
    qm::UniqueHandle old(static_cast<HANDLE>(handle_));
}

Folder Folder::Open(const fs::path& path) {
    Folder folder;
    qm::UniqueHandle handle(CreateFileW(path.c_str(), kFolderAccess, kShareAll, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle && IsFolder(handle.get(), true)) {
        folder.handle_ = handle.release();
        folder.path_ = path;
    }
    return folder;
}

Folder Folder::Child(const fs::path& name, bool followLink) const {
    Folder child;
    if (handle_ == nullptr || !IsOneName(name.native())) {
        return child;
    }
    ULONG options = FILE_DIRECTORY_FILE | (followLink ? 0 : FILE_OPEN_REPARSE_POINT);
    qm::UniqueHandle handle =
        OpenRelative(static_cast<HANDLE>(handle_), name.native(), kFolderAccess, options);
    if (handle && IsFolder(handle.get(), followLink)) {
        child.handle_ = handle.release();
        child.path_ = path_ / name;
    }
    return child;
}

Folder::operator bool() const {
    return handle_ != nullptr;
}

FolderTrust Folder::Judge() const {
    if (handle_ == nullptr) {
        return FolderTrust::kMissing;
    }
    HANDLE handle = static_cast<HANDLE>(handle_);
    return JudgeSecurity(ReadSecurity(handle), [&] { return VolumeOf(handle); });
}

std::optional<std::vector<fs::path>> Folder::Names() const {
    if (handle_ == nullptr) {
        return std::nullopt;
    }
    HANDLE handle = static_cast<HANDLE>(handle_);
    // Aligned for the records the system writes into it.
    std::vector<uint64_t> buffer(64 * 1024 / sizeof(uint64_t));
    std::vector<fs::path> names;
    FILE_INFO_BY_HANDLE_CLASS what = FileIdBothDirectoryRestartInfo; // from the beginning
    for (;;) {
        if (!GetFileInformationByHandleEx(handle, what, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(uint64_t)))) {
            if (GetLastError() == ERROR_NO_MORE_FILES) {
                return names;
            }
            return std::nullopt;
        }
        what = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
        for (size_t offset = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes + offset);
            std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                names.emplace_back(std::move(name));
            }
            if (info->NextEntryOffset == 0) {
                break;
            }
            offset += info->NextEntryOffset;
        }
    }
}

bool Folder::ReadFile(const fs::path& name, size_t limit, WipedBytes& out) const {
    if (handle_ == nullptr || !IsOneName(name.native())) {
        return false;
    }
    qm::UniqueHandle file = OpenRelative(static_cast<HANDLE>(handle_), name.native(), kFileAccess,
                                         FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    DWORD attributes = file ? AttributesOf(file.get()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return false;
    }
    return ReadOpenFile(file.get(), limit, out);
}

FolderTrust InspectFolder(const fs::path& folder) {
    if (Folder opened = Folder::Open(folder)) {
        return opened.Judge();
    }
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FolderTrust::kMissing; // nothing this user can read there
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return FolderTrust::kNotAFolder;
    }
    return JudgeSecurity(ReadSecurity(folder), [&] { return VolumeOf(folder); });
}

OpenFolderAdvice AdviseOnOpenFolder(const fs::path& folder) {
    std::optional<WindowsSecurity> security = ReadSecurity(folder);
    OpenFolderAdvice advice;
    if (!security || security->owner.empty() || !security->hasDacl) {
        if (!VolumeOf(folder).keepsAcls) {
            advice.others = "every account of this computer: its drive keeps no permissions";
            return advice;
        }
    }
    if (!security) {
        return advice;
    }
    std::vector<std::string> others = OthersWhoMayWrite(*security);
    for (const std::string& sid :
         security->hasDacl ? others : std::vector<std::string>{"S-1-1-0"}) {
        std::string name = sid.empty() ? "an account whose SID cannot be read" : AccountName(sid);
        advice.others += (advice.others.empty() ? "" : ", ") + name;
    }
    // The user's, SYSTEM's and the Administrators' grants in place of everything inherited, then
    // the others' own grants taken away.
    std::string path = "\"" + PathText(folder) + "\"";
    advice.commands = "icacls " + path + " /inheritance:r /grant:r";
    for (const std::string& who :
         {security->user, std::string(kSystemSid), std::string(kAdministratorsSid)}) {
        advice.commands += " \"*" + who + ":(OI)(CI)F\"";
    }
    std::string removals;
    for (const std::string& sid : others) {
        removals += sid.empty() ? "" : " *" + sid;
    }
    if (!removals.empty()) {
        advice.commands += "\nicacls " + path + " /remove:g" + removals;
    }
    return advice;
}

bool MakePrivateFolder(const fs::path& folder) {
    PrivateSecurity security(true);
    if (!CreateDirectoryW(folder.c_str(), security.attributes())) {
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            return false;
        }
        ThrowLastError("cannot create", folder);
    }
    return true;
}

void MakeFolderPrivate(const fs::path& folder) {
    if (std::optional<WindowsSecurity> now = ReadSecurity(folder); now && IsPrivateToUser(*now)) {
        return; // Wine would turn even the same DACL into group bits on the disk
    }
    // The descriptor as it is: Wine's SetNamedSecurityInfoW mixes in what the folder above passes
    // down, protected or not, and so gives everyone their read access back.
    PrivateSecurity security(true);
    if (!SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, security.descriptor())) {
        ThrowLastError("cannot make", folder, " private");
    }
}

void WriteNewFile(const fs::path& path, std::span<const uint8_t> bytes) {
    PrivateSecurity security(false);
    qm::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, security.attributes(),
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        ThrowLastError("cannot create", path);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            ThrowLastError("cannot write", path);
        }
        done += written;
    }
    if (!FlushFileBuffers(file.get())) {
        ThrowLastError("cannot flush", path);
    }
    if (!file.close()) {
        ThrowLastError("cannot close", path);
    }
}

void RenameOver(const fs::path& from, const fs::path& to) {
    // A file that someone holds open (a virus scanner looking at what was just written, say)
    // cannot be replaced until they let go: a few tries over half a second.
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return;
        }
        DWORD error = GetLastError();
        if (attempt == 9 || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
            ThrowLastError("cannot rename into", to);
        }
        Sleep(50);
    }
}

void MoveFolder(const fs::path& from, const fs::path& to) {
    // The files inside were flushed as they were written; without MOVEFILE_REPLACE_EXISTING an
    // entry that is already there is never replaced by a half-known one.
    if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        if (GetFileAttributesW(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
            SetLastError(ERROR_ALREADY_EXISTS); // Wine says "access denied" for a folder
        }
        ThrowLastError("cannot rename", to);
    }
}

bool ReadRegularFile(const fs::path& path, size_t limit, WipedBytes& out) {
    qm::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return ReadOpenFile(file.get(), limit, out);
}

AnsiEncoder::AnsiEncoder(int codePage) : codePage_(codePage) {}

AnsiEncoder::~AnsiEncoder() = default;

bool AnsiEncoder::Append(std::string_view character, std::string& out) {
    if (!IsValidCodePage(static_cast<UINT>(codePage_))) {
        if (character.size() == 1) { // an unknown code page still has ASCII
            out.append(character);
            return true;
        }
        return false;
    }
    wchar_t wide[4];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, character.data(),
                                static_cast<int>(character.size()), wide, 4);
    char buffer[16];
    BOOL usedDefault = FALSE;
    int m = n > 0 ? WideCharToMultiByte(static_cast<UINT>(codePage_), WC_NO_BEST_FIT_CHARS, wide, n,
                                        buffer, sizeof(buffer), nullptr, &usedDefault)
                  : 0;
    if (m <= 0 || usedDefault) {
        return false;
    }
    out.append(buffer, static_cast<size_t>(m));
    return true;
}

} // namespace ledra::platform
