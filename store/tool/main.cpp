// ledra-tool: manages the certificate store that Ledra.dll reads (see store/core/layout.h).
#include "store/tool/demo.h"
#include "store/tool/pki.h"

#include "engine/core/corvane.h"
#include "engine/core/errors.h"
#include "store/core/codepage.h"
#include "store/core/errors.h"
#include "store/core/layout.h"
#include "store/core/ledra.h"

#include "store/core/platform.h"
#include "store/tool/console.h"

#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace ledra::tool {
namespace {

constexpr const char* kUsageLine = "usage: ledra-tool [--store DIR] COMMAND [OPTIONS]\n\n";

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

constexpr const char* kCommands = R"(
Commands:
  init
      Create the store's folders (nothing changes where they exist).
  import-user [--medium N] --cert FILE --key FILE [--key-pass PW] [--new-pass PW]
      Add a user's certificate (PEM or DER) and private key to medium N (default 0). The store
      keeps every key as an encrypted PKCS#8 key: one that already is (PEM "ENCRYPTED PRIVATE KEY"
      or DER) is kept as it is once --key-pass has opened it as Quillmark will and shown it to be
      the certificate's; any other key (PKCS#8, traditional, or legacy encrypted PEM opened with
      --key-pass) is encrypted under --new-pass (PBES2: AES-256-CBC, PBKDF2 with HMAC-SHA256).
      No key is stored that does not belong to its certificate.
  import-p12 [--medium N] --p12 FILE --p12-pass PW --new-pass PW
      Add the certificate and key of a PKCS#12 file; the key is encrypted under --new-pass.
  import-recipient --cert FILE
      Add a recipient's certificate (PEM or DER).
  list [--medium N | --recipients]
      Show every entry (all media and the recipients unless one is named): its DN, issuer and
      expiry, and any entry that Quillmark cannot use, with the reason.
  remove [--medium N | --recipients] [--all] DN-OR-ID
      Remove the entry with that DN (as list shows it) or whose id starts with the given hex
      digits (at least 8); a damaged entry by the name that list shows. Several matches are
      refused unless --all.
  medium N [PATH | --default]
      Show the folder of medium N, keep medium N in PATH (a USB stick, say), or return it to
      its own folder in the store. PATH must be an existing folder of yours that nobody else
      may write to; the tool closes it to everyone else.
  demo [--force]
      Make a complete demo PKI in the store: a root CA and two intermediate CAs, users with
      Korean names on medium 0 (valid, revoked, expired, under a revoked CA), a server
      certificate as the recipient, a CRL and an ARL. Every user's key password is "demo1234".
      The public files and the server's key go to <store>/demo/. Refuses when a demo is there
      already; --force rebuilds it (other entries are left alone).

Passwords (PW): pass:TEXT, env:VARIABLE, file:PATH (its first line), or - (a line from standard
input). Prefer env: or file: to pass: on shared machines.

Exit status: 0 done, 1 failed, 2 bad command line.
)";

void PrintUsage() {
    std::cout << kUsageLine << kStoreRule << kCommands;
}

// Maximum size of an input file (a certificate, a key, a PKCS#12 file).
constexpr size_t kMaxInputFile = 1024 * 1024;

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using pki::Error;
using pki::Secret;

// The options of one command: "--name VALUE", "--name=VALUE" or "--flag", then positionals.
class Arguments {
public:
    Arguments(const std::string& command, std::vector<std::string> args,
              const std::map<std::string, bool>& known) {
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a.size() < 2 || a.rfind("--", 0) != 0) {
                positional_.push_back(a);
                continue;
            }
            std::string name = a.substr(2);
            std::optional<std::string> inlineValue;
            if (size_t eq = name.find('='); eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            auto it = known.find(name);
            if (it == known.end()) {
                throw UsageError("unknown option --" + name + " for " + command);
            }
            if (values_.count(name) != 0) {
                throw UsageError("--" + name + " is given twice");
            }
            if (!it->second) {
                if (inlineValue) {
                    throw UsageError("--" + name + " takes no value");
                }
                values_[name] = "";
            } else if (inlineValue) {
                values_[name] = *inlineValue;
            } else if (i + 1 < args.size()) {
                values_[name] = args[++i];
            } else {
                throw UsageError("--" + name + " needs a value");
            }
        }
    }

    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    std::optional<std::string> Value(const std::string& name) const {
        auto it = values_.find(name);
        return it == values_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::string Required(const std::string& name) const {
        std::optional<std::string> v = Value(name);
        if (!v || v->empty()) {
            throw UsageError("--" + name + " is required");
        }
        return *v;
    }
    const std::vector<std::string>& Positional() const { return positional_; }
    void NoPositional(const std::string& command) const {
        if (!positional_.empty()) {
            throw UsageError("unexpected argument '" + positional_[0] + "' for " + command);
        }
    }

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

int ParseMedium(const std::string& text) {
    if (text.size() != 1 || text[0] < '0' || text[0] >= '0' + kMediaCount) {
        throw UsageError("a medium is a number from 0 to 3, not '" + text + "'");
    }
    return text[0] - '0';
}

std::string Trim(std::string line) {
    size_t end = line.find_first_of("\r\n");
    if (end != std::string::npos) {
        line.resize(end);
    }
    return line;
}

Secret ReadPassword(const std::string& source, const std::string& option) {
    std::string text;
    if (source.rfind("pass:", 0) == 0) {
        text = source.substr(5);
    } else if (source.rfind("env:", 0) == 0) {
        std::optional<std::string> value = platform::EnvironmentText(source.substr(4).c_str());
        if (!value) {
            throw UsageError("--" + option + ": the variable " + source.substr(4) + " is not set");
        }
        text = std::move(*value);
    } else if (source.rfind("file:", 0) == 0) {
        std::optional<WipedBytes> bytes = ReadSmallFile(PathFromUtf8(source.substr(5)), 64 * 1024);
        if (!bytes) {
            throw Error("--" + option + ": cannot read the password file " + source.substr(5));
        }
        text.assign(bytes->data(), bytes->data() + bytes->size());
        text = Trim(std::move(text));
    } else if (source == "-") {
        text = Trim(console::ReadLine());
    } else {
        throw UsageError("--" + option +
                         ": give a password as pass:TEXT, env:VARIABLE, file:PATH or -");
    }
    Secret secret(std::move(text));
    if (secret.empty()) {
        throw UsageError("--" + option + ": the password is empty");
    }
    return secret;
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

// Why the store may not use one of its folders (the root, a medium, the recipients), or empty.
std::string Refusal(const fs::path& folder) {
    switch (CheckStoreFolder(folder)) {
    case err::kForeignStore:
        return "belongs to another user: it is neither read nor written";
    case err::kOpenStore:
        return "can be written by other users: it is neither read nor written until only you "
               "can write to it (check what is in it first)";
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
    for (int codePage : {kUtf8CodePage, 949}) {
        if (ToAnsi(*dn, codePage, qm::kDnSlotSize - 1).cut) {
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

// Opens an encrypted key with Quillmark's own engine, on a context that holds the certificate:
// it opens there exactly when getCert will open it (the password, the work its encryption asks
// for, and whether it is the certificate's own key). Throws why it does not.
void CheckAsQuillmarkWill(std::span<const uint8_t> key, X509* cert, const Secret& password) {
    std::vector<uint8_t> der = pki::Der(cert);
    EngineContext context{};
    if (corvane::CV_ContextInit(&context) != 0) {
        throw Error("cannot start the crypto engine to check the key");
    }
    ByteBuffer certificate{static_cast<int32_t>(der.size()), der.data()};
    ByteBuffer encrypted{static_cast<int32_t>(key.size()), const_cast<uint8_t*>(key.data())};
    ByteBuffer secret{static_cast<int32_t>(password.text().size()),
                      reinterpret_cast<uint8_t*>(const_cast<char*>(password.text().data()))};
    ByteBuffer opened{0, nullptr};
    int32_t version = 0;
    int32_t bits = 0;
    int32_t rc = corvane::CV_ParseCertificate(&context, &certificate, 0, &version, &bits);
    if (rc == 0) {
        rc = corvane::CV_DecryptPrivateKey(&context, &encrypted, &secret, &opened);
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
    args.NoPositional("import-user");
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
    args.NoPositional("import-p12");
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
    args.NoPositional("import-recipient");
    RequireStore(root);
    fs::path folder = ExistingFolder(RecipientsFolder(root), "the recipients");
    X509Ptr cert = pki::ReadCertificate(ReadInput(args.Required("cert")).span());
    AddEntry(folder, cert.get(), {}, "the recipients", out);
}

struct Scope {
    std::string label;
    fs::path folder;
    bool withKey;
};

std::vector<Scope> Scopes(const fs::path& root, const Arguments& args) {
    if (args.Has("medium") && args.Has("recipients")) {
        throw UsageError("give --medium or --recipients, not both");
    }
    std::vector<Scope> scopes;
    if (args.Has("medium")) {
        int m = ParseMedium(args.Required("medium"));
        scopes.push_back({"medium " + std::to_string(m), MediumFolder(root, m), true});
    } else if (args.Has("recipients")) {
        scopes.push_back({"recipients", RecipientsFolder(root), false});
    } else {
        for (int m = 0; m < kMediaCount; ++m) {
            scopes.push_back({"medium " + std::to_string(m), MediumFolder(root, m), true});
        }
        scopes.push_back({"recipients", RecipientsFolder(root), false});
    }
    return scopes;
}

// Why Quillmark cannot use an entry that reads well otherwise, or empty.
std::string Unusable(const Entry& e) {
    if (ToAnsi(e.subject, 949, qm::kDnSlotSize - 1).cut) {
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

// What a folder of the store holds: its readable entries, and the names of those that cannot
// be read (Quillmark skips them).
struct Contents {
    std::vector<Entry> entries;
    std::vector<std::string> damaged;
};

std::optional<Contents> ReadContents(const Scope& scope) {
    std::error_code ec;
    fs::directory_iterator it(scope.folder, ec);
    if (ec) {
        return std::nullopt;
    }
    Contents contents;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) {
            break;
        }
        if (IsHidden(it->path())) {
            continue;
        }
        Entry e;
        if (ReadEntry(it->path(), scope.withKey, e)) {
            contents.entries.push_back(std::move(e));
        } else {
            contents.damaged.push_back(PathText(it->path().filename()));
        }
    }
    return contents;
}

void List(const fs::path& root, const Arguments& args, std::ostream& out) {
    args.NoPositional("list");
    RequireStore(root, Access::Read);
    for (const Scope& scope : Scopes(root, args)) {
        out << "[" << scope.label << "] " << PathText(scope.folder) << "\n";
        if (std::string why = Refusal(scope.folder); !why.empty()) {
            out << "  (refused: the folder " << why << ")\n";
            continue;
        }
        std::optional<Contents> contents = ReadContents(scope);
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

// An entry that a remove names: a readable one by its DN or id, a damaged one by its name.
struct Match {
    std::string label;
    fs::path folder;
    std::string shown; // the DN, or what list calls a damaged entry
    std::string id;
};

void Remove(const fs::path& root, const Arguments& args, std::ostream& out) {
    RequireStore(root);
    if (args.Positional().size() != 1) {
        throw UsageError("remove takes one DN or id");
    }
    const std::string& what = args.Positional()[0];
    bool byId = what.size() >= 8 && what.size() <= 64 &&
                what.find_first_not_of("0123456789abcdef") == std::string::npos;
    auto named = [&](const std::string& id) { return byId && id.rfind(what, 0) == 0; };
    std::vector<Match> matches;
    for (const Scope& scope : Scopes(root, args)) {
        std::optional<Contents> contents =
            Refusal(scope.folder).empty() ? ReadContents(scope) : std::nullopt;
        if (!contents) {
            continue;
        }
        for (const Entry& e : contents->entries) {
            if (e.subject == what || named(e.id)) {
                matches.push_back({scope.label, e.folder, e.subject, e.id});
            }
        }
        for (const std::string& name : contents->damaged) {
            if (name == what || named(name)) {
                matches.push_back({scope.label, scope.folder / PathFromUtf8(name),
                                   "damaged entry " + name, name});
            }
        }
    }
    if (matches.empty()) {
        throw Error("no entry has the DN or id " + what);
    }
    if (matches.size() > 1 && !args.Has("all")) {
        std::string list;
        for (const Match& m : matches) {
            list += "\n  " + m.label + ": " + m.shown + " (id " + m.id.substr(0, 12) + ")";
        }
        throw Error(std::to_string(matches.size()) +
                    " entries match; name one by its id, or give "
                    "--all:" +
                    list);
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
    RequireStore(root);
    const std::vector<std::string>& pos = args.Positional();
    if (pos.empty() || pos.size() > 2 || (pos.size() == 2 && args.Has("default"))) {
        throw UsageError("usage: ledra-tool medium N [PATH | --default]");
    }
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

int Run(const std::vector<std::string>& args) {
    std::optional<fs::path> storeOption;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h" || a == "help") {
            PrintUsage();
            return 0;
        }
        if (a == "--store") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                throw UsageError("--store needs a folder");
            }
            storeOption = PathFromUtf8(args[++i]);
        } else if (a.rfind("--store=", 0) == 0) {
            storeOption = PathFromUtf8(a.substr(8));
        } else if (a.rfind("-", 0) == 0) {
            throw UsageError("unknown option " + a);
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        throw UsageError("no command given");
    }
    std::string command = args[i];
    std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    for (const std::string& a : rest) {
        if (a == "--help" || a == "-h") {
            PrintUsage();
            return 0;
        }
    }
    // A root named on the command line is the user's own choice, relative to where they are;
    // without one there is a root only when the environment names an absolute one.
    fs::path root = storeOption ? fs::absolute(*storeOption) : StoreRoot();
    if (root.empty()) {
        throw Error("no store: set QUILLMARK_STORE, XDG_DATA_HOME or HOME to an absolute path, "
                    "or give --store DIR");
    }

    if (command == "init") {
        Arguments(command, rest, {}).NoPositional(command);
        Init(root, std::cout);
    } else if (command == "import-user") {
        ImportUser(root,
                   Arguments(command, rest,
                             {{"medium", true},
                              {"cert", true},
                              {"key", true},
                              {"key-pass", true},
                              {"new-pass", true}}),
                   std::cout);
    } else if (command == "import-p12") {
        ImportP12(
            root,
            Arguments(command, rest,
                      {{"medium", true}, {"p12", true}, {"p12-pass", true}, {"new-pass", true}}),
            std::cout);
    } else if (command == "import-recipient") {
        ImportRecipient(root, Arguments(command, rest, {{"cert", true}}), std::cout);
    } else if (command == "list") {
        List(root, Arguments(command, rest, {{"medium", true}, {"recipients", false}}), std::cout);
    } else if (command == "remove") {
        Remove(root,
               Arguments(command, rest, {{"medium", true}, {"recipients", false}, {"all", false}}),
               std::cout);
    } else if (command == "medium") {
        Medium(root, Arguments(command, rest, {{"default", false}}), std::cout);
    } else if (command == "demo") {
        Arguments parsed(command, rest, {{"force", false}});
        parsed.NoPositional(command);
        Init(root, std::cout);
        demo::Make(root, parsed.Has("force"), std::cout);
    } else {
        throw UsageError("unknown command '" + command + "'");
    }
    return 0;
}

// The tool's run: the arguments after the program's name, in UTF-8.
int Main(const std::vector<std::string>& args) {
    // PKCS#12 files made by older software use ciphers that only the legacy provider offers.
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    int status = 1;
    try {
        status = Run(args);
    } catch (const UsageError& e) {
        std::cerr << "ledra-tool: " << e.what() << "\n(ledra-tool --help shows the commands)\n";
        status = 2;
    } catch (const std::exception& e) {
        std::cerr << "ledra-tool: " << e.what() << "\n";
        status = 1;
    }
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
        args.push_back(ledra::platform::Utf8FromWide(argv[i]));
    }
    return ledra::tool::Main(args);
}
#else
int main(int argc, char** argv) {
    return ledra::tool::Main(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
