#include "crypto/CertLoader.h"

#include "crypto/LocalBytes.h"
#include "external/engine.h"
#include "external/store.h"

#include <cstring>

namespace {

constexpr char kPemStart[] = "-----BEGIN";

// Callers have always been told "nothing to copy" for a block the store cannot vouch for.
static_assert(qm::kStoreBlockRefused == qm::kNothingToCopy);

bool IsPemText(const char* text) {
    return std::strncmp(text, kPemStart, sizeof(kPemStart) - 1) == 0;
}

} // namespace

CCertLoader::CCertLoader() = default;

CCertLoader::~CCertLoader() {
    ReleaseHeld();
}

// A store block is wiped over its whole capacity, not the length the store reported; a decoded
// copy is exactly as long as its length.
void CCertLoader::ReleaseHeld() {
    if (heldStoreBlock) {
        qm::ReleaseStoreBlock(bytes.data);
        bytes = ByteBuffer{0, nullptr};
        heldStoreBlock = false;
    } else {
        ReleaseBytes(&bytes);
    }
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

    ReleaseHeld();
    // The store's output area; the store is not told its size and writes at most this much (the
    // binding refuses any other answer).
    bytes.data = qm::NewStoreBlock();
    bytes.length = 0;
    heldStoreBlock = true;
    int32_t result = mode == qm::kLoadOwnCertificate
                         ? qm::Store().LD_GetMyCert(text, kind, medium, qm::kDefaultSiteCode,
                                                    qm::kStorePassword, &bytes)
                         : qm::Store().LD_GetCert(text, kind, &bytes);

    // What a failed store call left in the area is nobody's certificate: it is not handed out.
    if (result != 0) {
        ReleaseHeld();
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
    ReleaseHeld();
    return AssignBytes(&bytes, decoded->length, decoded->data);
}
