#include "crypto/CertLoader.h"

#include "crypto/LocalBytes.h"
#include "external/engine.h"
#include "external/store.h"

#include <cstring>

namespace {

constexpr char kPemStart[] = "-----BEGIN";

bool IsPemText(const char* text) {
    return std::strncmp(text, kPemStart, sizeof(kPemStart) - 1) == 0;
}

} // namespace

CCertLoader::CCertLoader() = default;

CCertLoader::~CCertLoader() {
    ReleaseBytes(&bytes);
}

int32_t CCertLoader::Load(const char* source, int32_t kind, int32_t mode, int32_t medium) {
    // A missing source is an empty text: not PEM, so the store is asked and finds nothing.
    const char* text = source != nullptr ? source : "";
    if (IsPemText(text)) {
        return LoadPem(text);
    }
    if (mode != qm::kLoadOwnCertificate && mode != qm::kLoadByDn) {
        return qm::kInputMissing;
    }

    ReleaseBytes(&bytes);
    // The store's output area; the store is not told its size and writes at most this much.
    bytes.data = new uint8_t[qm::kStoreBlockSize]();
    bytes.length = 0;
    int32_t result = mode == qm::kLoadOwnCertificate
                         ? qm::Store().LD_GetMyCert(text, kind, medium, qm::kDefaultSiteCode,
                                                    qm::kStorePassword, &bytes)
                         : qm::Store().LD_GetCert(text, kind, &bytes);

    // What a failed store call left in the area is nobody's certificate, and a length beyond the
    // area would send the callers' copies past its end: neither is handed out.
    if (result == 0 && (bytes.length < 0 || bytes.length > qm::kStoreBlockSize)) {
        result = qm::kNothingToCopy;
    }
    if (result != 0) {
        bytes.length = qm::kStoreBlockSize;
        ReleaseBytes(&bytes);
    }
    return result;
}

int32_t CCertLoader::LoadPem(const char* text) {
    qm::EngineBuffer decoded;
    int32_t result = qm::Engine().CV_PemDecode(text, decoded.out());
    if (result != 0) {
        qm::DropFailedOutput(decoded);
        return result;
    }
    ReleaseBytes(&bytes);
    return AssignBytes(&bytes, decoded->length, decoded->data);
}
