// quillmark-server: the server's side of the enveloping protocol, for the demo and for anyone who
// wants to check what a page sent. It opens the sealed text with the server's private key and
// deciphers the ciphertext with the session key and IV found inside.
#include "tools/server/envelope_reader.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const char* kUsage =
    "usage: quillmark-server --key KEY.pem [--password env:VAR|file:PATH] [--cert CERT.pem]\n"
    "                        --algorithm NAME --sealed FILE|- --cipher FILE|-\n"
    "                        [--code-page CP949] [--show-key]\n"
    "\n"
    "Opens a page's sealed text (Base64 of a DER CMS EnvelopedData holding the session key\n"
    "followed by the IV) with the server's private key, deciphers the page's ciphertext (Base64,\n"
    "CBC with PKCS#7 padding) and prints the text in UTF-8. NAME is the algorithm the page\n"
    "passed to GenerateEx: SEED, ARIA, AES, 3DES or DES. The page's text is in its ANSI code\n"
    "page (CP949 by default).\n"
    "\n"
    "The key's password is read from the environment variable VAR or from the first line of\n"
    "the file PATH. A password given as it is works too, but every local user can read it in\n"
    "the list of processes.\n";

bool ReadFile(const std::string& path, std::string* text) {
    if (path == "-") {
        std::ostringstream all;
        all << std::cin.rdbuf();
        *text = all.str();
        return true;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "quillmark-server: %s\n", message.c_str());
    return 1;
}

// The key's password as --password names it: env:VARIABLE, file:PATH (its first line), or the
// password itself. False, with the reason, when the named variable or file cannot be read.
bool ReadPassword(const std::string& source, std::string* password, std::string* error) {
    if (source.rfind("env:", 0) == 0) {
        const char* value = std::getenv(source.c_str() + 4);
        *error = "--password: the variable " + source.substr(4) + " is not set";
        if (value != nullptr) {
            password->assign(value);
        }
        return value != nullptr;
    }
    if (source.rfind("file:", 0) == 0) {
        std::string text;
        *error = "--password: cannot read " + source.substr(5);
        bool read = ReadFile(source.substr(5), &text);
        password->assign(text, 0, text.find_first_of("\r\n"));
        OPENSSL_cleanse(text.data(), text.size());
        return read;
    }
    std::fputs("quillmark-server: warning: a password on the command line can be read by every "
               "local user; give it as env:VARIABLE or file:PATH\n",
               stderr);
    *password = source;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string keyPath, passwordSource, certPath, algorithmName, sealedPath, cipherPath;
    std::string codePage = "CP949";
    bool showKey = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* target) {
            if (i + 1 >= argc) {
                return false;
            }
            *target = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--key") {
            ok = value(&keyPath);
        } else if (arg == "--password") {
            ok = value(&passwordSource);
        } else if (arg == "--cert") {
            ok = value(&certPath);
        } else if (arg == "--algorithm") {
            ok = value(&algorithmName);
        } else if (arg == "--sealed") {
            ok = value(&sealedPath);
        } else if (arg == "--cipher") {
            ok = value(&cipherPath);
        } else if (arg == "--code-page") {
            ok = value(&codePage);
        } else if (arg == "--show-key") {
            showKey = true;
        } else {
            std::fputs(kUsage, stderr);
            return Fail("unknown argument: " + arg);
        }
        if (!ok) {
            return Fail(arg + " needs a value");
        }
    }
    if (keyPath.empty() || algorithmName.empty() || sealedPath.empty() || cipherPath.empty()) {
        std::fputs(kUsage, stderr);
        return Fail("--key, --algorithm, --sealed and --cipher are required");
    }
    if (sealedPath == "-" && cipherPath == "-") {
        return Fail("only one of --sealed and --cipher can read standard input");
    }
    const server::Algorithm* algorithm = server::FindAlgorithm(algorithmName);
    if (algorithm == nullptr) {
        return Fail("unknown algorithm: " + algorithmName);
    }
    std::string keyPem, certPem, sealed, cipher;
    if (!ReadFile(keyPath, &keyPem)) {
        return Fail("cannot read " + keyPath);
    }
    if (!certPath.empty() && !ReadFile(certPath, &certPem)) {
        return Fail("cannot read " + certPath);
    }
    if (!ReadFile(sealedPath, &sealed)) {
        return Fail("cannot read " + sealedPath);
    }
    if (!ReadFile(cipherPath, &cipher)) {
        return Fail("cannot read " + cipherPath);
    }

    std::string error, password;
    if (!passwordSource.empty() && !ReadPassword(passwordSource, &password, &error)) {
        return Fail(error);
    }
    auto keyMaterial = server::OpenSealedText(sealed, keyPem, password, certPem, &error);
    OPENSSL_cleanse(password.data(), password.size());
    if (!keyMaterial) {
        return Fail(error);
    }
    if (showKey) {
        std::printf("session key and IV: %zu bytes\n", keyMaterial->size());
    }
    auto plain = server::Decipher(*algorithm, *keyMaterial, cipher, &error);
    OPENSSL_cleanse(keyMaterial->data(), keyMaterial->size());
    if (!plain) {
        return Fail(error);
    }
    std::printf("%s\n", server::ToUtf8(*plain, codePage).c_str());
    return 0;
}
