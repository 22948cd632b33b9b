// The store on Windows: wide paths throughout (a user's or a folder's name in Korean must work
// whatever the ANSI code page), a protected DACL on whatever the store makes, and renames that
// replace in one step and reach the disk before they return.
#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include "platform/Raii.h"
#include "store/core/codepage.h"
#include "store/core/layout.h"
#include "store/core/platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <system_error>
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
        std::string message = n != 0 ? Utf8FromWide({text, n}) : std::string();
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
    return Utf8FromWide(text.get());
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
        std::wstring user = WideFromUtf8(UserSid());
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

std::optional<WindowsSecurity> ReadSecurity(const fs::path& path) {
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    qm::LocalMemory<void> descriptor;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, descriptor.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    WindowsSecurity security;
    security.owner = SidText(owner);
    security.user = UserSid();
    security.hasDacl = dacl != nullptr;
    if (dacl != nullptr) {
        security.dacl = Entries(dacl);
    }
    return security;
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

} // namespace

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) {
        return {};
    }
    int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) {
        return {};
    }
    int size = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    return out;
}

std::optional<std::string> EnvironmentText(const char* name) {
    std::wstring value = EnvironmentValue(WideFromUtf8(name));
    if (value.empty()) {
        return std::nullopt;
    }
    return Utf8FromWide(value);
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

FolderTrust InspectFolder(const fs::path& folder) {
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FolderTrust::kMissing; // nothing this user can read there
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return FolderTrust::kNotAFolder;
    }
    std::optional<WindowsSecurity> security = ReadSecurity(folder);
    // A folder without an owner or without a DACL may be on a volume that keeps no ACLs at all
    // (FAT or exFAT, as most sticks). Only then is the volume asked: asking costs a look at the
    // device, and Wine complains on the console when it cannot read one.
    if (!security || security->owner.empty() || !security->hasDacl) {
        if (Volume volume = VolumeOf(folder); !volume.keepsAcls) {
            return JudgeFolderWithoutAcls(volume.removable);
        }
    }
    // An owner that cannot be read is not known to be the user.
    return security ? JudgeWindowsFolder(*security) : FolderTrust::kOtherOwner;
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
    // Every sharing mode: a reader never stops the tool from replacing or removing a file.
    qm::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size) ||
        size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > limit) {
        return false;
    }
    // One byte more than the limit tells a file that grew meanwhile from one that did not.
    WipedBytes bytes(limit + 1);
    size_t done = 0;
    for (;;) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD n = 0;
        if (!ReadFile(file.get(), bytes.data() + done, chunk, &n, nullptr)) {
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
    bytes.Resize(done);
    out = std::move(bytes);
    return true;
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
