// quillmark-server: the server's side of the enveloping protocol, for the demo and for anyone who
// wants to check what a page sent. It opens the sealed text with the server's private key and
// deciphers the ciphertext with the session key and IV found inside.
#include "platform/command_line.h"
#include "tools/server/envelope_reader.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using command_line::UsageError;

constexpr const char* kAbout =
    R"(usage: quillmark-server --key FILE|- [--password PW] [--cert FILE]
                        --algorithm NAME --sealed FILE|- --cipher FILE|-
                        [--code-page CP949] [--show-key]

Opens a page's sealed text (Base64 of a DER CMS EnvelopedData holding the session key
followed by the IV) with the server's private key, deciphers the page's ciphertext (Base64,
CBC with PKCS#7 padding) and prints the text in UTF-8.
)";

constexpr const char* kRefusals =
    R"(Whatever is wrong with the sealed text or the ciphertext, the answer is the same: "the sealed
text or the ciphertext was refused". A server that said why would tell whoever sent them, one
changed ciphertext at a time, what the plaintext is. The server's own key and certificate and
the command line get messages of their own.

)";

// Everything that `in` holds, in a buffer that is wiped when it goes (a key file): it grows by
// copies into larger wiped buffers, and the stream passes it through no buffer of its own.
qm::WipedText ReadAll(std::istream& in) {
    qm::WipedText text = qm::WipedText::ForOverwrite(4096);
    size_t length = 0;
    for (;;) {
        in.read(text.data() + length, std::streamsize(text.size() - length));
        length += size_t(in.gcount());
        if (!in) {
            break;
        }
        qm::WipedText larger = qm::WipedText::ForOverwrite(2 * text.size());
        std::copy(text.data(), text.data() + length, larger.data());
        text = std::move(larger);
    }
    text.Shrink(length);
    return text;
}

// A file's bytes, or standard input's for "-".
qm::WipedText ReadInput(const std::string& path) {
    if (path == "-") {
        return ReadAll(std::cin);
    }
    std::ifstream in;
    in.rdbuf()->pubsetbuf(nullptr, 0);
    in.open(path, std::ios::binary);
    qm::WipedText text;
    if (in) {
        text = ReadAll(in);
    }
    if (!in.eof() || in.bad()) {
        throw std::runtime_error("cannot read " + path);
    }
    return text;
}

// A code page as iconv names it: "949" is taken for CP949.
std::string CheckedCodePage(const std::string& name) {
    bool number = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    std::string codePage = number ? "CP" + name : name;
    if (!server::KnowsCodePage(codePage)) {
        throw UsageError("--code-page: unknown code page '" + name +
                         "'; give the page's ANSI code page as CP and its number, as CP949 "
                         "(Korean) or CP1252");
    }
    return codePage;
}

qm::PkeyPtr ServerKey(const std::string& path, const qm::WipedText* password) {
    qm::WipedText bytes = ReadInput(path);
    qm::PkeyPtr key;
    switch (server::ReadPrivateKey(bytes.view(), password, &key)) {
    case server::KeyRead::kOpened:
        return key;
    case server::KeyRead::kEncrypted:
        throw UsageError("the server's private key " + path +
                         " is encrypted: give its password with --password env:VAR or "
                         "--password file:PATH");
    case server::KeyRead::kWrongPassword:
        throw std::runtime_error("the password does not open the server's private key " + path);
    case server::KeyRead::kNotAKey:
        break;
    }
    throw std::runtime_error(path + " holds no private key that can be read (PEM or DER)");
}

qm::X509Ptr ServerCertificate(const std::string& path, EVP_PKEY* key) {
    qm::X509Ptr cert = server::ReadCertificate(ReadInput(path).view());
    if (!cert) {
        throw std::runtime_error(path + " holds no certificate that can be read (PEM or DER)");
    }
    if (X509_check_private_key(cert.get(), key) != 1) {
        throw std::runtime_error("the certificate " + path +
                                 " does not belong to the server's private key");
    }
    return cert;
}

int Run(const std::vector<std::string>& args) {
    std::string keyPath, passwordSource, certPath, algorithmName, sealedPath, cipherPath;
    std::string codePage = "CP949";
    bool showKey = false;
    CLI::App app;
    command_line::Configure(app, "quillmark-server", kAbout);
    app.footer(std::string(kRefusals) + command_line::kExitStatusHelp);
    const std::string algorithmHelp =
        "the algorithm the page passed to GenerateEx: " + server::AlgorithmNames();
    const struct {
        const char* name;
        std::string* value;
        const char* kind;
        bool required;
        std::string help;
    } options[] = {
        {"--key", &keyPath, "FILE|-", true,
         "the server's private key: PEM or DER, plain or encrypted; - reads it from standard "
         "input"},
        {"--password", &passwordSource, "PW", false,
         "the key's password, when it is encrypted: " +
             std::string(command_line::kPasswordSources) + "; it ends before its line end"},
        {"--cert", &certPath, "FILE", false,
         "the server's certificate, PEM or DER, which must belong to the key: the sealed text "
         "is then opened only through the entry made for it (without it, the key is tried on "
         "every entry)"},
        {"--algorithm", &algorithmName, "NAME", true, algorithmHelp.c_str()},
        {"--sealed", &sealedPath, "FILE|-", true,
         "the page's sealed text (Base64); - reads it from standard input"},
        {"--cipher", &cipherPath, "FILE|-", true,
         "the page's ciphertext (Base64); - reads it from standard input"},
        {"--code-page", &codePage, "CPnnn", false,
         "the page's ANSI code page, which its text is in (default CP949)"},
    };
    for (const auto& o : options) {
        app.add_option(o.name, *o.value)
            ->type_name(o.kind)
            ->required(o.required)
            ->description(o.help);
    }
    app.add_flag("--show-key", showKey)
        ->disable_flag_override()
        ->description("also tell, on standard error, how many bytes of session key and IV the "
                      "sealed text held (never the bytes)");
    if (!command_line::Parse(app, args, std::cout)) {
        return command_line::kDone;
    }
    if ((keyPath == "-") + (passwordSource == "-") + (sealedPath == "-") + (cipherPath == "-") >
        1) {
        throw UsageError("only one of --key, --password, --sealed and --cipher can read standard "
                         "input");
    }
    const server::Algorithm* algorithm = server::FindAlgorithm(algorithmName);
    if (algorithm == nullptr) {
        throw UsageError("--algorithm: unknown algorithm '" + algorithmName + "'; give " +
                         server::AlgorithmNames());
    }
    codePage = CheckedCodePage(codePage);

    qm::PkeyPtr key;
    {
        std::optional<qm::WipedText> password;
        if (command_line::IsPasswordSource(passwordSource)) {
            password = command_line::ReadPassword(passwordSource, "--password");
        } else if (!passwordSource.empty()) {
            // The password itself, as earlier versions took it: still taken, with a warning.
            std::fputs("quillmark-server: warning: a password on the command line can be read by "
                       "every local user; give it as env:VARIABLE or file:PATH\n",
                       stderr);
            password.emplace(passwordSource);
        }
        key = ServerKey(keyPath, password ? &*password : nullptr);
    }
    qm::X509Ptr cert;
    if (!certPath.empty()) {
        cert = ServerCertificate(certPath, key.get());
    }
    qm::WipedText sealed = ReadInput(sealedPath);
    qm::WipedText cipher = ReadInput(cipherPath);

    std::optional<qm::WipedBytes> keyMaterial =
        server::OpenSealedText(sealed.view(), key.get(), cert.get());
    if (!keyMaterial) {
        throw std::runtime_error(server::kRefused);
    }
    if (showKey) {
        // On standard error: standard output carries the plaintext alone, for a pipe to take.
        std::fprintf(stderr, "quillmark-server: session key and IV: %zu bytes\n",
                     keyMaterial->size());
    }
    std::string error;
    auto plain = server::Decipher(*algorithm, keyMaterial->span(), cipher.view(), &error);
    keyMaterial.reset();
    if (!plain) {
        throw std::runtime_error(error);
    }
    std::printf("%s\n", server::ToUtf8(*plain, codePage).c_str());
    return command_line::kDone;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return command_line::Run("quillmark-server", [&] { return Run(args); });
}
