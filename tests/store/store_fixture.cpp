#include "store_fixture.h"

#include "store/core/codepage.h"

#include <fstream>
#include <stdexcept>

namespace ledra::test {

ScratchStore::ScratchStore() {
    for (const fs::path& folder : {Medium(0), Medium(1), Medium(2), Medium(3), Recipients()}) {
        fs::create_directory(folder);
        MakePrivate(folder);
    }
    SetStoreRootOverride(path().string());
    SetAnsiCodePage(949);
}

ScratchStore::~ScratchStore() {
    SetStoreRootOverride("");
    SetAnsiCodePage(kUtf8CodePage);
}

Made MakeCertificate(const pki::NameParts& subject, const MakeOptions& options) {
    Made made;
    made.key = pki::GenerateEd25519();
    pki::CertificateRequest r;
    r.subject = subject;
    r.key = made.key.get();
    r.notBefore = 1000000000;
    r.notAfter = options.notAfter;
    Made issuer;
    if (!options.issuer.empty()) {
        issuer.key = pki::GenerateEd25519();
        pki::CertificateRequest ir;
        ir.subject = options.issuer;
        ir.key = issuer.key.get();
        ir.notBefore = r.notBefore;
        ir.notAfter = r.notAfter;
        ir.profile = pki::Profile::Ca;
        issuer.cert = pki::IssueCertificate(ir);
        r.issuer = issuer.cert.get();
        r.issuerKey = issuer.key.get();
    }
    if (options.exactSize == 0) {
        made.cert = pki::IssueCertificate(r);
        made.der = pki::Der(made.cert.get());
        return made;
    }
    // Lengths of DER lengths move in steps: home in on the size over a few rounds.
    r.padding = 16;
    for (int round = 0; round < 20; ++round) {
        made.cert = pki::IssueCertificate(r);
        made.der = pki::Der(made.cert.get());
        if (made.der.size() == options.exactSize) {
            return made;
        }
        long diff = static_cast<long>(options.exactSize) - static_cast<long>(made.der.size());
        r.padding = static_cast<size_t>(std::max(1L, static_cast<long>(r.padding) + diff));
    }
    throw std::runtime_error("cannot reach the certificate size " +
                             std::to_string(options.exactSize));
}

std::string AddOwn(const fs::path& medium, const Made& made, const char* password) {
    WipedBytes key = pki::EncryptPrivateKey(made.key.get(), pki::Secret(password));
    return WriteEntry(medium, made.der, key.span());
}

std::string AddRecipient(const fs::path& folder, const Made& made) {
    return WriteEntry(folder, made.der, {});
}

ToolRun RunTool(const std::vector<std::string>& args, const std::string& input) {
    using qm::testing::ShellQuote;
    ScratchFolder io;
    std::ofstream(io / "in", std::ios::binary) << input;
    std::string command = ShellQuote(LEDRA_TOOL_PATH);
    for (const std::string& a : args) {
        command += " " + ShellQuote(a);
    }
    command += " <" + ShellQuote((io / "in").string()) + " 2>" + ShellQuote((io / "err").string());
    qm::testing::CommandResult run = qm::testing::RunCommand(command);
    return {run.exitCode, run.output, qm::testing::ReadTextFile(io / "err")};
}

} // namespace ledra::test
