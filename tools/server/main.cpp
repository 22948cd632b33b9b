// quillmark-server: the server's side of the enveloping protocol, for the demo and for anyone who
// wants to check what a page sent. It opens the sealed text with the server's private key and
// deciphers the ciphertext with the session key and IV found inside.
#include "platform/command_line.h"
#include "tools/server/envelope_reader.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using command_line::UsageError;

constexpr const char* kAbout =
    R"(usage: quillmark-server --key FILE [--password env:VAR|file:PATH] [--cert FILE]
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

// Text that holds a secret (the key's password, the key file), wiped when it goes.
struct Wiped {
    std::string text;
    Wiped() = default;
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;
    ~Wiped() { OPENSSL_cleanse(text.data(), text.size()); }
};

bool ReadFile(const std::string& path, std::string* text) {
    std::ostringstream all;
    if (path == "-") {
        all << std::cin.rdbuf();
    } else {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return false;
        }
        all << in.rdbuf();
    }
    *text = all.str();
    return true;
}

std::string ReadInput(const std::string& path) {
    std::string text;
    if (!ReadFile(path, &text)) {
        throw std::runtime_error("cannot read " + path);
    }
    return text;
}

// The key's password as --password names it: env:VARIABLE, file:PATH (its first line), or the
// password itself.
void ReadPassword(const std::string& source, std::string* password) {
    if (source.rfind("env:", 0) == 0) {
        const char* value = std::getenv(source.c_str() + 4);
        if (value == nullptr) {
            throw UsageError("--password: the variable " + source.substr(4) + " is not set");
        }
        password->assign(value);
    } else if (source.rfind("file:", 0) == 0) {
        Wiped text;
        if (!ReadFile(source.substr(5), &text.text)) {
            throw std::runtime_error("--password: cannot read " + source.substr(5));
        }
        password->assign(text.text, 0, text.text.find_first_of("\r\n"));
    } else {
        std::fputs("quillmark-server: warning: a password on the command line can be read by "
                   "every local user; give it as env:VARIABLE or file:PATH\n",
                   stderr);
        *password = source;
    }
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

server::PrivateKey ServerKey(const std::string& path, const std::string* password) {
    Wiped bytes;
    bytes.text = ReadInput(path);
    server::PrivateKey key;
    switch (server::ReadPrivateKey(bytes.text, password, &key)) {
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

server::Certificate ServerCertificate(const std::string& path, EVP_PKEY* key) {
    server::Certificate cert = server::ReadCertificate(ReadInput(path));
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
        const char* help;
    } options[] = {
        {"--key", &keyPath, "FILE", true,
         "the server's private key: PEM or DER, plain or encrypted"},
        {"--password", &passwordSource, "SOURCE", false,
         "the key's password, when it is encrypted: env:VAR (the environment variable VAR) or "
         "file:PATH (the first line of the file). A password given as it is works too, but "
         "every local user can read it in the list of processes"},
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
    if (sealedPath == "-" && cipherPath == "-") {
        throw UsageError("only one of --sealed and --cipher can read standard input");
    }
    const server::Algorithm* algorithm = server::FindAlgorithm(algorithmName);
    if (algorithm == nullptr) {
        throw UsageError("--algorithm: unknown algorithm '" + algorithmName + "'; give " +
                         server::AlgorithmNames());
    }
    codePage = CheckedCodePage(codePage);

    server::PrivateKey key;
    {
        Wiped password;
        if (!passwordSource.empty()) {
            ReadPassword(passwordSource, &password.text);
        }
        key = ServerKey(keyPath, passwordSource.empty() ? nullptr : &password.text);
    }
    server::Certificate cert;
    if (!certPath.empty()) {
        cert = ServerCertificate(certPath, key.get());
    }
    std::string sealed = ReadInput(sealedPath);
    std::string cipher = ReadInput(cipherPath);

    auto keyMaterial = server::OpenSealedText(sealed, key.get(), cert.get());
    if (!keyMaterial) {
        throw std::runtime_error(server::kRefused);
    }
    if (showKey) {
        // On standard error: standard output carries the plaintext alone, for a pipe to take.
        std::fprintf(stderr, "quillmark-server: session key and IV: %zu bytes\n",
                     keyMaterial->size());
    }
    std::string error;
    auto plain = server::Decipher(*algorithm, *keyMaterial, cipher, &error);
    OPENSSL_cleanse(keyMaterial->data(), keyMaterial->size());
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
