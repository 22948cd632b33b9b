// ledra-tool: manages the certificate store that Ledra.dll reads (see store/core/layout.h).
#include "store/tool/demo.h"
#include "store/tool/pki.h"

#include "engine/core/corvane.h"
#include "engine/core/errors.h"
#include "engine/core/passwords.h"
#include "store/core/codepage.h"
#include "store/core/errors.h"
#include "store/core/layout.h"
#include "store/core/ledra.h"

#include "platform/command_line.h"
#include "store/core/platform.h"
#include "store/tool/console.h"
#ifdef _WIN32
#include "platform/StringConversion.h"
#endif

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace ledra::tool {
namespace {

constexpr const char* kUsageLine = "usage: ledra-tool [--store DIR] COMMAND [OPTIONS]\n"
                                   "       ledra-tool COMMAND --help\n\n";

#ifdef _WIN32
constexpr const char* kStoreRule =
    R"(Manages the certificate store that Ledra.dll reads. The store is DIR, else %QUILLMARK_STORE%,
else %LOCALAPPDATA%\Quillmark\Store; only an absolute path from the environment names one. The
store is its user's alone: what it makes is open to that user, SYSTEM and the Administrators
only, and a root or a medium folder that another user owns, or that anyone else may write to,
is refused.
)";
#else
constexpr const char* kStoreRule =
    R"(Manages the certificate store that Ledra.dll reads. The store is DIR, else $QUILLMARK_STORE,
else $XDG_DATA_HOME/quillmark/store, else ~/.local/share/quillmark/store; only an absolute path
from the environment names one. The store is its user's alone: every write keeps its root 0700,
its folders 0700 and its files 0600, and a root or a medium folder that another user owns, or
that its group or anyone else may write to, is refused.
)";
#endif

std::string PasswordsHelp() {
    return command_line::Paragraph(
               std::string("Passwords (PW): ") + command_line::kPasswordSources +
               ". A password is UTF-8 text, and a key is encrypted under its UTF-8 bytes; an "
               "encrypted key opens under those or under the same text in the pages' ANSI code "
               "page (949 on Korean Windows), as getCert opens it.") +
           "\n\n";
}

constexpr const char* kStoreHelp =
    "--store DIR, before or after the command, names the store (ledra-tool --help says which it\n"
    "is without one).\n\n";

// One option of a command as its help shows it: "--name" with a value of the kind `value`, a flag
// (no value), or a positional argument (a name without dashes).
struct OptionText {
    const char* name;
    const char* value;
    const char* help;
    bool required = false;
};

struct CommandText {
    const char* name;
    const char* synopsis;
    const char* description;
    std::vector<OptionText> options;
    bool takesPasswords = false;
};

const OptionText kMediumOption{"--medium", "N", "medium N, 0 to 3 (default 0)"};

const CommandText kCommands[] = {
    {"init", "init", "Create the store's folders (nothing changes where they exist).", {}},
    {"import-user",
     "import-user [--medium N] --cert FILE --key FILE [--key-pass PW] [--new-pass PW]",
     R"(Add a user's certificate (PEM or DER) and private key to medium N (default 0). The store
keeps every key as an encrypted PKCS#8 key: one that already is (PEM "ENCRYPTED PRIVATE KEY"
or DER) is kept as it is once --key-pass has opened it as Quillmark will and shown it to be
the certificate's; any other key (PKCS#8, traditional, or legacy encrypted PEM opened with
--key-pass) is encrypted under --new-pass (PBES2: AES-256-CBC, PBKDF2 with HMAC-SHA256).
No key is stored that does not belong to its certificate.)",
     {kMediumOption,
      {"--cert", "FILE", "the user's certificate, PEM or DER", true},
      {"--key", "FILE", "its private key, PEM or DER, plain or encrypted", true},
      {"--key-pass", "PW", "the password that opens an encrypted key"},
      {"--new-pass", "PW", "the password to encrypt a plain key under"}},
     true},
    {"import-p12",
     "import-p12 [--medium N] --p12 FILE --p12-pass PW --new-pass PW",
     "Add the certificate and key of a PKCS#12 file; the key is encrypted under --new-pass.",
     {kMediumOption,
      {"--p12", "FILE", "the PKCS#12 file", true},
      {"--p12-pass", "PW", "the PKCS#12 file's password", true},
      {"--new-pass", "PW", "the password to encrypt the key under", true}},
     true},
    {"import-recipient",
     "import-recipient --cert FILE",
     "Add a recipient's certificate (PEM or DER).",
     {{"--cert", "FILE", "the recipient's certificate, PEM or DER", true}}},
    {"list",
     "list [--medium N | --recipients]",
     R"(Show every entry (all media and the recipients unless one is named): its DN, issuer and
expiry, and any entry that Quillmark cannot use, with the reason.)",
     {{"--medium", "N", "medium N (0 to 3) only"},
      {"--recipients", nullptr, "the recipients only"}}},
    {"remove",
     "remove [--medium N | --recipients] [--all] [--] DN-OR-ID",
     R"(Remove the entry with that DN (as list shows it) or whose id starts with the given hex
digits (at least 8); a damaged entry by the name that list shows. An id names a certificate,
which may be on several media and among the recipients: --medium N or --recipients says
which one. Several matches are refused, each shown with what removes it alone, unless --all.
A DN that starts with "-" comes after "--".)",
     {{"--medium", "N", "look on medium N (0 to 3) only"},
      {"--recipients", nullptr, "look among the recipients only"},
      {"--all", nullptr, "remove every entry that matches"},
      {"DN-OR-ID", "", "the entry's DN, its id's first hex digits, or a damaged entry's name"}}},
    {"medium",
     "medium N [PATH | --default]",
     R"(Show the folder of medium N, keep medium N in PATH (a USB stick, say), or return it to
its own folder in the store. PATH must be an existing folder of yours that nobody else
may write to; the tool closes it to everyone else.)",
     {{"N", "", "the medium, 0 to 3"},
      {"PATH", "", "the folder to keep the medium in from now on"},
      {"--default", nullptr, "keep the medium in its own folder in the store again"}}},
    {"demo",
     "demo [--force]",
     R"(Make a complete demo PKI in the store: a root CA and two intermediate CAs, users with
Korean names on medium 0 (valid, revoked, expired, under a revoked CA), a server
certificate as the recipient, a CRL and an ARL. Every user's key password is "demo1234".
The public files and the server's key go to <store>/demo/. Refuses when a demo is there
already; --force rebuilds it (other entries are left alone).)",
     {{"--force", nullptr, "rebuild a demo that is there already"}}},
};

// The commands as the tool's own help lists them: each one's synopsis and, indented, what it does.
std::string CommandsHelp() {
    std::string text = "Commands:\n";
    for (const CommandText& c : kCommands) {
        text += std::string("  ") + c.synopsis + "\n      ";
        for (const char* p = c.description; *p != '\0'; ++p) {
            text += *p == '\n' ? std::string("\n      ") : std::string(1, *p);
        }
        text += "\n";
    }
    return text + "\n";
}

void AddCommand(CLI::App& app, const CommandText& text) {
    CLI::App* command = app.add_subcommand(
        text.name, std::string("usage: ledra-tool ") + text.synopsis + "\n\n" + text.description);
    command->group(""); // the tool's help lists it under Commands, with its synopsis
    command->footer((text.takesPasswords ? PasswordsHelp() : std::string()) + kStoreHelp +
                    command_line::kExitStatusHelp);
    for (const OptionText& o : text.options) {
        CLI::Option* option = o.value == nullptr
                                  ? command->add_flag(o.name)->disable_flag_override()
                                  : command->add_option(o.name)->type_name(o.value);
        option->description(o.help)->required(o.required);
    }
}

// Maximum size of an input file (a certificate, a key, a PKCS#12 file).
constexpr size_t kMaxInputFile = 1024 * 1024;

using command_line::UsageError;
using pki::Error;
using pki::Secret;

// What the command line gave one command, by the options' names without their dashes.
class Arguments {
public:
    explicit Arguments(const CLI::App& command) : command_(command) {}

    bool Has(const std::string& name) const { return command_.count("--" + name) != 0; }
    std::optional<std::string> Value(const std::string& name) const {
        return Has(name)
                   ? std::optional<std::string>(command_.get_option("--" + name)->as<std::string>())
                   : std::nullopt;
    }
    std::string Required(const std::string& name) const {
        std::optional<std::string> v = Value(name);
        if (!v || v->empty()) {
            throw UsageError("--" + name + " is required");
        }
        return *v;
    }
    std::vector<std::string> Positional() const {
        std::vector<std::string> values;
        for (const CLI::Option* o :
             command_.get_options([](const CLI::Option* o) { return o->get_positional(); })) {
            values.insert(values.end(), o->results().begin(), o->results().end());
        }
        return values;
    }

private:
    const CLI::App& command_;
};

int ParseMedium(const std::string& text) {
    if (text.size() != 1 || text[0] < '0' || text[0] >= '0' + kMediaCount) {
        throw UsageError("a medium is a number from 0 to 3, not '" + text + "'");
    }
    return text[0] - '0';
}

Secret ReadPassword(const std::string& source, const std::string& option) {
#ifdef _WIN32
    return command_line::ReadPassword(source, "--" + option, console::ReadLine);
#else
    return command_line::ReadPassword(source, "--" + option);
#endif
}

std::optional<Secret> OptionalPassword(const Arguments& args, const std::string& option) {
    std::optional<std::string> source = args.Value(option);
    if (!source) {
        return std::nullopt;
    }
    return ReadPassword(*source, option);
}

WipedBytes ReadInput(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(PathFromUtf8(path), ec)) {
        throw Error("no such file: " + path);
    }
    std::optional<WipedBytes> bytes = ReadSmallFile(PathFromUtf8(path), kMaxInputFile);
    if (!bytes) {
        throw Error("cannot read " + path + " (not a readable file of at most 1 MiB)");
    }
    if (bytes->empty()) {
        throw Error(path + " is empty");
    }
    return std::move(*bytes);
}

std::string ExpiryText(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    char text[64];
    if (OPENSSL_gmtime(&t, &tm) == nullptr ||
        std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
        return "?";
    }
    std::string out = text;
    if (seconds < static_cast<int64_t>(std::time(nullptr))) {
        out += " (expired)";
    }
    return out;
}

// --- the store's shape ----------------------------------------------------------------------

enum class Access { Read, Write };

// A folder that others may write to: who they are, and how to leave it to the user alone.
std::string OpenFolderRefusal(const fs::path& folder) {
    platform::OpenFolderAdvice advice = platform::AdviseOnOpenFolder(folder);
    std::string text = "can be written by other users";
    if (!advice.others.empty()) {
        text += " (" + advice.others + ")";
    }
    text += ": it is neither read nor written until only you can write to it";
    if (advice.commands.empty()) {
        return text + " (check what is in it first)";
    }
    text += ". Check what is in it, then close it to others:";
    size_t start = 0;
    for (size_t end; (end = advice.commands.find('\n', start)) != std::string::npos;
         start = end + 1) {
        text += "\n    " + advice.commands.substr(start, end - start);
    }
    return text + "\n    " + advice.commands.substr(start);
}

// Why the store may not use one of its folders (the root, a medium, the recipients), or empty.
std::string Refusal(const fs::path& folder) {
    switch (CheckStoreFolder(folder)) {
    case err::kForeignStore:
        return "belongs to another user: it is neither read nor written";
    case err::kOpenStore:
        return OpenFolderRefusal(folder);
    default:
        return {};
    }
}

// A folder of the store that is the user's and nobody else's to write to; `what` names it.
void RequireTrusted(const fs::path& folder, const std::string& what) {
    if (std::string why = Refusal(folder); !why.empty()) {
        throw Error(what + " " + PathText(folder) + " " + why);
    }
}

// The store at `root`, which must exist and belong to this user; before a write its root is
// tightened to this user alone again.
void RequireStore(const fs::path& root, Access access = Access::Write) {
    RequireTrusted(root, "the store at");
    std::error_code ec;
    if (!fs::exists(root / kMarkerName, ec)) {
        throw Error("no store at " + PathText(root) + " (run 'ledra-tool init' first)");
    }
    if (access == Access::Write) {
        PrepareRootForWriting(root);
    }
}

// The folder of a medium or of the recipients, which must be there and be trusted.
fs::path ExistingFolder(const fs::path& folder, const std::string& what) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        throw Error(what + "'s folder " + PathText(folder) + " does not exist");
    }
    RequireTrusted(folder, what + "'s folder");
    return folder;
}

void Init(const fs::path& root, std::ostream& out) {
    RequireTrusted(root, "the store at");
    PrepareRootForWriting(root);
    std::error_code ec;
    if (!fs::exists(root / kMarkerName, ec)) {
        std::string marker = kMarkerText;
        WriteFileAtomically(root / kMarkerName,
                            {reinterpret_cast<const uint8_t*>(marker.data()), marker.size()});
    }
    for (int m = 0; m < kMediaCount; ++m) {
        fs::path folder = MediumFolder(root, m);
        if (folder == root / ("medium" + std::to_string(m))) {
            CreatePrivateFolders(folder);
        }
    }
    CreatePrivateFolders(RecipientsFolder(root));
    out << "store ready at " << PathText(root) << "\n";
}

// A certificate's DN must be one that Quillmark can hand out and look up: at most 255 bytes in
// the code pages where it runs.
std::string CheckDn(X509* cert) {
    std::optional<std::string> dn = NameText(X509_get_subject_name(cert));
    if (!dn) {
        throw Error("the certificate's subject cannot be read as text");
    }
    if (!FitsADnList(*dn)) {
        throw Error(std::string("the certificate's DN contains \"") + kDnListSeparator +
                    "\", which separates the DNs in Quillmark's lists: Quillmark leaves it "
                    "out and cannot use it: " +
                    *dn);
    }
    for (int codePage : {kUtf8CodePage, 949}) {
        if (Utf8ToAnsi(*dn, codePage, qm::kDnSlotSize - 1).cut) {
            throw Error("the certificate's DN is too long for Quillmark (at most 255 bytes): " +
                        *dn);
        }
    }
    return *dn;
}

void CheckSize(size_t size, const std::string& what) {
    if (size > static_cast<size_t>(qm::kStoreBlockSize)) {
        throw Error(what + " takes " + std::to_string(size) + " bytes; Quillmark reads at most " +
                    std::to_string(qm::kStoreBlockSize));
    }
}

void AddEntry(const fs::path& folder, X509* cert, std::span<const uint8_t> key,
              const std::string& where, std::ostream& out) {
    std::string dn = CheckDn(cert);
    std::vector<uint8_t> der = pki::Der(cert);
    CheckSize(der.size(), "the certificate");
    if (!key.empty()) {
        CheckSize(key.size(), "the encrypted private key");
    }
    std::string id;
    try {
        id = WriteEntry(folder, der, key);
    } catch (const std::system_error& e) {
        if (e.code().value() == EEXIST) {
            throw Error("this certificate is already in " + where + ": " + dn);
        }
        throw;
    }
    out << "added to " << where << ": " << dn << "\n  id " << id << "\n";
    if (std::optional<std::vector<Entry>> entries = ReadEntries(folder, !key.empty())) {
        for (const Entry& e : *entries) {
            if (e.id != id && e.subject == dn) {
                out << "  note: " << where << " holds another certificate with this DN (id "
                    << e.id.substr(0, 12) << "); Quillmark uses the one that expires last\n";
            }
        }
    }
}

// The code page in which a page hands Quillmark a password: the ANSI code page of Windows, which
// is 949 on the Korean Windows that pages run on (the DN checks above assume it too).
uint32_t PageCodePage() {
#ifdef _WIN32
    return corvane::AnsiCodePage();
#else
    return 949;
#endif
}

// Opens an encrypted key with Quillmark's own engine, on a context that holds the certificate:
// it opens there exactly when getCert will open it (the password, the work its encryption asks
// for, and whether it is the certificate's own key). The engine tries a page's password as the
// page's code page spells it and then as UTF-8; the tool, given UTF-8, tries the converse.
// Throws why it does not open.
void CheckAsQuillmarkWill(std::span<const uint8_t> key, X509* cert, const Secret& password) {
    std::vector<uint8_t> der = pki::Der(cert);
    ByteBuffer secret{static_cast<int32_t>(password.size()),
                      reinterpret_cast<uint8_t*>(const_cast<char*>(password.data()))};
    std::span<const uint8_t> typed(secret.data, password.size());
    std::optional<qm::WipedBytes> paged;
    if (!corvane::IsAscii(typed)) {
        paged = corvane::CodePageFromUtf8(typed, PageCodePage());
    }
    ByteBuffer other{paged ? static_cast<int32_t>(paged->size()) : 0,
                     paged ? paged->data() : nullptr};
    EngineContext context{};
    if (corvane::CV_ContextInit(&context) != 0) {
        throw Error("cannot start the crypto engine to check the key");
    }
    ByteBuffer certificate{static_cast<int32_t>(der.size()), der.data()};
    ByteBuffer encrypted{static_cast<int32_t>(key.size()), const_cast<uint8_t*>(key.data())};
    ByteBuffer opened{0, nullptr};
    int32_t version = 0;
    int32_t bits = 0;
    int32_t rc = corvane::CV_ParseCertificate(&context, &certificate, 0, &version, &bits);
    if (rc == 0) {
        rc = corvane::DecryptPrivateKeyEitherWay(&context, &encrypted, &secret, &other, &opened);
    }
    corvane::CV_Free(opened.data); // wiped by the engine
    corvane::CV_ContextFree(&context);
    switch (rc) {
    case 0:
        return;
    case corvane::err::kWrongPassword:
        throw Error("--key-pass does not open the encrypted key");
    case corvane::err::kKeyNotForCertificate:
        throw Error("the private key does not belong to the certificate");
    case corvane::err::kUnsupportedKeyEncryption:
        throw Error("Quillmark cannot open this key: its encryption is unknown to it or asks for "
                    "more work than it allows (see README.md)");
    default:
        throw Error("the key cannot be checked against the certificate (engine code " +
                    std::to_string(rc) + ")");
    }
}

fs::path MediumArgument(const fs::path& root, const Arguments& args, int& medium) {
    medium = args.Has("medium") ? ParseMedium(args.Required("medium")) : 0;
    return ExistingFolder(MediumFolder(root, medium), "medium " + std::to_string(medium));
}

void ImportUser(const fs::path& root, const Arguments& args, std::ostream& out) {
    RequireStore(root);
    int medium = 0;
    fs::path folder = MediumArgument(root, args, medium);
    std::optional<Secret> keyPass = OptionalPassword(args, "key-pass");
    std::optional<Secret> newPass = OptionalPassword(args, "new-pass");
    X509Ptr cert = pki::ReadCertificate(ReadInput(args.Required("cert")).span());
    WipedBytes keyBytes = ReadInput(args.Required("key"));
    const Secret noPassword;
    pki::KeyInput input = pki::ReadPrivateKey(keyBytes.span(), keyPass ? *keyPass : noPassword);

    WipedBytes stored;
    if (!input.encrypted.empty()) {
        if (newPass) {
            throw UsageError("the key is already an encrypted PKCS#8 key and is kept as it is; "
                             "leave out --new-pass");
        }
        if (!keyPass) {
            throw UsageError("the key is encrypted: give its password with --key-pass, so that "
                             "it can be checked against the certificate");
        }
        CheckAsQuillmarkWill(input.encrypted.span(), cert.get(), *keyPass);
        stored = std::move(input.encrypted);
    } else {
        if (!newPass) {
            throw UsageError("the key is not encrypted: give --new-pass to encrypt it for the "
                             "store");
        }
        if (!pki::KeyMatchesCertificate(input.key.get(), cert.get())) {
            throw Error("the private key does not belong to the certificate");
        }
        stored = pki::EncryptPrivateKey(input.key.get(), *newPass);
    }
    AddEntry(folder, cert.get(), stored.span(), "medium " + std::to_string(medium), out);
}

void ImportP12(const fs::path& root, const Arguments& args, std::ostream& out) {
    RequireStore(root);
    int medium = 0;
    fs::path folder = MediumArgument(root, args, medium);
    Secret p12Pass = ReadPassword(args.Required("p12-pass"), "p12-pass");
    Secret newPass = ReadPassword(args.Required("new-pass"), "new-pass");
    WipedBytes bytes = ReadInput(args.Required("p12"));
    auto [key, cert] = pki::ReadPkcs12(bytes.span(), p12Pass);
    if (!pki::KeyMatchesCertificate(key.get(), cert.get())) {
        throw Error("the PKCS#12 file's key does not belong to its certificate");
    }
    WipedBytes stored = pki::EncryptPrivateKey(key.get(), newPass);
    AddEntry(folder, cert.get(), stored.span(), "medium " + std::to_string(medium), out);
}

void ImportRecipient(const fs::path& root, const Arguments& args, std::ostream& out) {
    RequireStore(root);
    fs::path folder = ExistingFolder(RecipientsFolder(root), "the recipients");
    X509Ptr cert = pki::ReadCertificate(ReadInput(args.Required("cert")).span());
    AddEntry(folder, cert.get(), {}, "the recipients", out);
}

struct Scope {
    std::string label;
    int medium; // or kRecipients
    fs::path folder;
    bool withKey;
};

Scope MediumScope(const fs::path& root, int medium) {
    return {"medium " + std::to_string(medium), medium, MediumFolder(root, medium), true};
}

std::vector<Scope> Scopes(const fs::path& root, const Arguments& args) {
    if (args.Has("medium") && args.Has("recipients")) {
        throw UsageError("give --medium or --recipients, not both");
    }
    const Scope recipients{"recipients", kRecipients, RecipientsFolder(root), false};
    if (args.Has("medium")) {
        return {MediumScope(root, ParseMedium(args.Required("medium")))};
    }
    if (args.Has("recipients")) {
        return {recipients};
    }
    std::vector<Scope> scopes;
    for (int m = 0; m < kMediaCount; ++m) {
        scopes.push_back(MediumScope(root, m));
    }
    scopes.push_back(recipients);
    return scopes;
}

// Why Quillmark cannot use an entry that reads well otherwise, or empty.
std::string Unusable(const Entry& e) {
    if (!FitsADnList(e.subject)) {
        return std::string("its DN contains \"") + kDnListSeparator +
               "\", which separates the DNs in Quillmark's lists (getDNList would show it as two): "
               "it is left out of every listing and lookup";
    }
    if (Utf8ToAnsi(e.subject, 949, qm::kDnSlotSize - 1).cut) {
        return "its DN is longer than 255 bytes";
    }
    if (e.cert.size() > static_cast<size_t>(qm::kStoreBlockSize)) {
        return "the certificate is larger than 3,000 bytes";
    }
    if (e.key.size() > static_cast<size_t>(qm::kStoreBlockSize)) {
        return "the key is larger than 3,000 bytes";
    }
    return {};
}

// What a folder of the store holds, read as Quillmark reads it: from the folder that was judged,
// opened once. Nothing when the folder is missing; `why` says why it is refused.
std::optional<FolderContents> ReadScope(const fs::path& root, const Scope& scope,
                                        std::string& why) {
    platform::Folder folder;
    switch (OpenStoreFolder(root, scope.medium, folder)) {
    case 0:
        return ReadFolder(folder, scope.withKey);
    case err::kForeignStore:
    case err::kOpenStore:
        why = Refusal(scope.folder);
        if (why.empty()) {
            why = "was refused"; // it changed since: what was opened was another user's or open
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

void List(const fs::path& root, const Arguments& args, std::ostream& out) {
    RequireStore(root, Access::Read);
    for (const Scope& scope : Scopes(root, args)) {
        out << "[" << scope.label << "] " << PathText(scope.folder) << "\n";
        std::string why;
        std::optional<FolderContents> contents = ReadScope(root, scope, why);
        if (!why.empty()) {
            out << "  (refused: the folder " << why << ")\n";
            continue;
        }
        if (!contents) {
            out << "  (folder missing)\n";
            continue;
        }
        std::vector<Entry>& entries = contents->entries;
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.subject < b.subject; });
        if (entries.empty() && contents->damaged.empty()) {
            out << "  (empty)\n";
        }
        for (const Entry& e : entries) {
            out << "  " << e.subject << "\n"
                << "    issuer  " << e.issuer << "\n"
                << "    expires " << ExpiryText(e.notAfter) << "\n"
                << "    id      " << e.id << "\n";
            if (std::string why = Unusable(e); !why.empty()) {
                out << "    not usable by Quillmark: " << why << "\n";
            }
        }
        for (const std::string& name : contents->damaged) {
            out << "  damaged entry " << name
                << " (missing or unreadable files): skipped; 'ledra-tool remove " << name
                << "' takes it away\n";
        }
    }
}

bool IsHexId(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string ScopeOption(const Scope& scope) {
    return scope.medium == kRecipients ? "--recipients"
                                       : "--medium " + std::to_string(scope.medium);
}

// An entry that a remove names: a readable one by its DN or id, a damaged one by its name.
struct Match {
    std::string label;
    std::string option; // the option that names its scope: "--medium N" or "--recipients"
    fs::path folder;
    std::string shown; // the DN, or what list calls a damaged entry
    std::string id;
};

void Remove(const fs::path& root, const Arguments& args, std::ostream& out) {
    std::vector<std::string> positional = args.Positional();
    if (positional.size() != 1) {
        throw UsageError("remove takes one DN or id");
    }
    RequireStore(root);
    const std::string& what = positional[0];
    bool byId = what.size() >= 8 && what.size() <= 64 && IsHexId(what);
    auto named = [&](const std::string& id) { return byId && id.rfind(what, 0) == 0; };
    std::vector<Match> matches;
    for (const Scope& scope : Scopes(root, args)) {
        std::string why;
        std::optional<FolderContents> contents = ReadScope(root, scope, why);
        if (!contents) {
            continue;
        }
        for (const Entry& e : contents->entries) {
            if (e.subject == what || named(e.id)) {
                matches.push_back({scope.label, ScopeOption(scope), e.folder, e.subject, e.id});
            }
        }
        for (const std::string& name : contents->damaged) {
            if (name == what || named(name)) {
                matches.push_back({scope.label, ScopeOption(scope),
                                   scope.folder / PathFromUtf8(name), "damaged entry " + name,
                                   name});
            }
        }
    }
    if (matches.empty()) {
        throw Error("no entry has the DN or id " + what);
    }
    if (matches.size() > 1 && !args.Has("all")) {
        // An id names a certificate, and one certificate may be on several media and among the
        // recipients: each match is named by where it is and its id.
        std::string list;
        for (const Match& m : matches) {
            // A fingerprint's first 16 hex digits name it; a damaged entry's name is given whole.
            bool fingerprint = m.id.size() == 64 && IsHexId(m.id);
            list += "\n  remove " + m.option + (m.id[0] == '-' ? " -- " : " ") +
                    (fingerprint ? m.id.substr(0, 16) : m.id) + "    " + m.label + ": " + m.shown;
        }
        throw Error(std::to_string(matches.size()) + " entries match " + what +
                    "; remove one by where it is and its id, or give --all:" + list);
    }
    for (const Match& m : matches) {
        RemoveEntry(m.folder);
        out << "removed from " << m.label << ": " << m.shown << "\n";
    }
}

// A medium kept elsewhere must be there now (an unmounted stick's mount point would receive the
// keys on the system's own disk), be a folder, and be as much the user's own as the store's root.
fs::path MediumElsewhere(const std::string& path, int medium) {
    fs::path target = fs::absolute(PathFromUtf8(path));
    std::string what = "medium " + std::to_string(medium) + ": the folder";
    std::error_code ec;
    if (!fs::exists(target, ec)) {
        throw Error(what + " " + PathText(target) +
                    " does not exist (is the medium plugged in? create the folder first)");
    }
    if (!fs::is_directory(target, ec)) {
        throw Error(what + " " + PathText(target) + " is not a folder");
    }
    RequireTrusted(target, what);
    platform::MakeFolderPrivate(target);
    return target;
}

void Medium(const fs::path& root, const Arguments& args, std::ostream& out) {
    std::vector<std::string> pos = args.Positional();
    if (pos.empty() || (pos.size() == 2 && args.Has("default"))) {
        throw UsageError("usage: ledra-tool medium N [PATH | --default]");
    }
    RequireStore(root);
    int m = ParseMedium(pos[0]);
    fs::path link = root / ("medium" + std::to_string(m) + ".link");
    if (args.Has("default")) {
        std::error_code ec;
        fs::remove(link, ec);
        CreatePrivateFolders(root / ("medium" + std::to_string(m)));
    } else if (pos.size() == 2) {
        std::string text = PathText(MediumElsewhere(pos[1], m)) + "\n";
        WriteFileAtomically(link, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    }
    out << "medium " << m << ": " << PathText(MediumFolder(root, m)) << "\n";
}

// Why the environment names no store, in the words of the system the tool runs on.
std::string NoStoreMessage() {
    std::optional<std::string> named = platform::EnvironmentText("QUILLMARK_STORE");
#ifdef _WIN32
    if (named) {
        return "no store: %QUILLMARK_STORE% is \"" + *named +
               "\", which is not an absolute Windows path (a drive and its folders, such as "
               "C:\\Users\\me\\Store; under Wine a Linux folder is Z:\\home\\me\\store). "
               "Set it to one, leave it unset for %LOCALAPPDATA%\\Quillmark\\Store, or give "
               "--store DIR";
    }
    return "no store: %LOCALAPPDATA% (the user's local application data folder) cannot be found; "
           "set %QUILLMARK_STORE% to an absolute path, or give --store DIR";
#else
    if (named) {
        return "no store: QUILLMARK_STORE is \"" + *named +
               "\", which is not an absolute path; set it to one, leave it unset for "
               "$XDG_DATA_HOME/quillmark/store or ~/.local/share/quillmark/store, or give "
               "--store DIR";
    }
    return "no store: set QUILLMARK_STORE, XDG_DATA_HOME or HOME to an absolute path, or give "
           "--store DIR";
#endif
}

int Run(std::vector<std::string> args) {
    CLI::App app;
    command_line::Configure(app, "ledra-tool", std::string(kUsageLine) + kStoreRule);
    app.footer(CommandsHelp() + PasswordsHelp() + command_line::kExitStatusHelp);
    std::string storeText;
    CLI::Option* store = app.add_option("--store", storeText)
                             ->type_name("DIR")
                             ->description("the store's folder (before or after the command)");
    for (const CommandText& c : kCommands) {
        AddCommand(app, c);
    }
    if (!args.empty() && args[0] == "help") {
        args[0] = "--help"; // as earlier versions took it
    }
    if (!command_line::Parse(app, std::move(args), std::cout)) {
        return command_line::kDone;
    }
    if (app.get_subcommands().empty()) {
        throw UsageError("no command given");
    }
    if (store->count() != 0 && storeText.empty()) {
        throw UsageError("--store needs a folder");
    }
    const CLI::App& parsed = *app.get_subcommands().front();
    const std::string& command = parsed.get_name();
    Arguments arguments(parsed);
    // A root named on the command line is the user's own choice, relative to where they are;
    // without one there is a root only when the environment names an absolute one.
    fs::path root = store->count() != 0 ? fs::absolute(PathFromUtf8(storeText)) : StoreRoot();
    if (root.empty()) {
        throw Error(NoStoreMessage());
    }

    if (command == "init") {
        Init(root, std::cout);
    } else if (command == "import-user") {
        ImportUser(root, arguments, std::cout);
    } else if (command == "import-p12") {
        ImportP12(root, arguments, std::cout);
    } else if (command == "import-recipient") {
        ImportRecipient(root, arguments, std::cout);
    } else if (command == "list") {
        List(root, arguments, std::cout);
    } else if (command == "remove") {
        Remove(root, arguments, std::cout);
    } else if (command == "medium") {
        Medium(root, arguments, std::cout);
    } else if (command == "demo") {
        Init(root, std::cout);
        demo::Make(root, arguments.Has("force"), std::cout);
    }
    return command_line::kDone;
}

// The tool's run: the arguments after the program's name, in UTF-8.
int Main(const std::vector<std::string>& args) {
    // PKCS#12 files made by older software use ciphers that only the legacy provider offers.
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    int status = command_line::Run("ledra-tool", [&] { return Run(args); });
    std::cout.flush();
    std::cerr.flush();
    if (standard != nullptr) {
        OSSL_PROVIDER_unload(standard);
    }
    if (legacy != nullptr) {
        OSSL_PROVIDER_unload(legacy);
    }
    return status;
}

} // namespace
} // namespace ledra::tool

#ifdef _WIN32
// Windows hands a program its arguments in UTF-16: a Korean file or folder name survives only
// when it is taken from there, not from the ANSI code page's narrow copy.
int wmain(int argc, wchar_t** argv) {
    ledra::tool::console::Session console;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(qm::Utf16ToUtf8(argv[i]));
    }
    return ledra::tool::Main(args);
}
#else
int main(int argc, char** argv) {
    return ledra::tool::Main(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
