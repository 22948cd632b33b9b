// quillmark-server: the server's side of the enveloping protocol, for the demo and for anyone who
// wants to check what a page sent. It opens the sealed text with the server's private key and
// deciphers the ciphertext with the session key and IV found inside.
#include "tools/server/envelope_reader.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace {

const char* kUsage =
    "usage: quillmark-server --key KEY.pem [--password PASS] [--cert CERT.pem]\n"
    "                        --algorithm NAME --sealed FILE|- --cipher FILE|-\n"
    "                        [--code-page CP949] [--show-key]\n"
    "\n"
    "Opens a page's sealed text (Base64 of a DER CMS EnvelopedData holding the session key\n"
    "followed by the IV) with the server's private key, deciphers the page's ciphertext (Base64,\n"
    "CBC with PKCS#7 padding) and prints the text in UTF-8. NAME is the algorithm the page\n"
    "passed to GenerateEx: SEED, ARIA, AES, 3DES or DES. The page's text is in its ANSI code\n"
    "page (CP949 by default).\n";

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

} // namespace

int main(int argc, char** argv) {
    std::string keyPath, password, certPath, algorithmName, sealedPath, cipherPath;
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
            ok = value(&password);
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

    std::string error;
    auto keyMaterial = server::OpenSealedText(sealed, keyPem, password, certPem, &error);
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
