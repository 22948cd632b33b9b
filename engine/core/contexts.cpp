// Engine contexts. The caller embeds three 32-bit words in its own objects, and the engine writes
// nothing beyond them: a tag, the index of a slot in the engine's table and the slot's
// generation. The generation changes whenever a slot is released, so a released context, a copy
// of one, or words that were never initialised name no live slot and fail cleanly; nothing is
// ever read through the words themselves.
//
// A slot also keeps the public key of the certificate last given to its context, as bytes: no
// OpenSSL object outlives a call, so the table may outlive the engine's library context.
#include "engine/core/internal.h"

#include <mutex>
#include <vector>

namespace corvane {
namespace {

constexpr uint32_t kTag = 0x43564331; // "CVC1"
constexpr size_t kMaxContexts = 1u << 20;

struct Slot {
    uint32_t generation = 0; // never 0 while live
    bool live = false;
    CertificateKey certificate;
};

class ContextTable {
public:
    bool Open(EngineContext* context) {
        std::lock_guard guard(lock_);
        size_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else if (slots_.size() < kMaxContexts) {
            // Room on the free list for every slot, so that Close never has to allocate.
            free_.reserve(slots_.size() + 1);
            slots_.emplace_back();
            index = slots_.size() - 1;
        } else {
            return false;
        }
        Slot& slot = slots_[index];
        if (++slot.generation == 0) {
            slot.generation = 1;
        }
        slot.live = true;
        context->words[0] = kTag;
        context->words[1] = uint32_t(index);
        context->words[2] = slot.generation;
        return true;
    }

    bool Close(EngineContext* context) {
        std::lock_guard guard(lock_);
        Slot* slot = Find(*context);
        if (slot == nullptr) {
            return false;
        }
        slot->live = false;
        slot->certificate = CertificateKey{};
        free_.push_back(context->words[1]);
        context->words[0] = context->words[1] = context->words[2] = 0;
        return true;
    }

    bool IsLive(const EngineContext& context) {
        std::lock_guard guard(lock_);
        return Find(context) != nullptr;
    }

    void SetCertificate(const EngineContext& context, Bytes publicKey) {
        std::lock_guard guard(lock_);
        if (Slot* slot = Find(context); slot != nullptr) {
            // Given first and the key after, so that a failure to copy the key (no memory) leaves
            // a certificate that refuses every key rather than the one before it.
            slot->certificate.given = true;
            slot->certificate.publicKey.clear();
            slot->certificate.publicKey.assign(publicKey.begin(), publicKey.end());
        }
    }

    CertificateKey Certificate(const EngineContext& context) {
        std::lock_guard guard(lock_);
        Slot* slot = Find(context);
        return slot != nullptr ? slot->certificate : CertificateKey{};
    }

private:
    Slot* Find(const EngineContext& context) {
        if (context.words[0] != kTag || context.words[1] >= slots_.size()) {
            return nullptr;
        }
        Slot& slot = slots_[context.words[1]];
        return slot.live && slot.generation == context.words[2] ? &slot : nullptr;
    }

    std::mutex lock_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
};

ContextTable& Table() {
    // Never destroyed, like the block records: contexts may be released from static destructors.
    static ContextTable* table = new ContextTable;
    return *table;
}

} // namespace

int32_t CheckContext(const EngineContext* context) noexcept {
    if (context == nullptr) {
        return err::kNullArgument;
    }
    return Table().IsLive(*context) ? 0 : err::kBadContext;
}

void SetCertificateKey(const EngineContext* context, Bytes publicKey) {
    Table().SetCertificate(*context, publicKey);
}

CertificateKey GetCertificateKey(const EngineContext* context) {
    return Table().Certificate(*context);
}

int32_t CV_ContextInit(EngineContext* context) noexcept {
    return Guarded([&]() -> int32_t {
        if (context == nullptr) {
            return err::kNullArgument;
        }
        return Table().Open(context) ? 0 : err::kContextLimit;
    });
}

int32_t CV_ContextFree(EngineContext* context) noexcept {
    return Guarded([&]() -> int32_t {
        if (context == nullptr) {
            return err::kNullArgument;
        }
        return Table().Close(context) ? 0 : err::kBadContext;
    });
}

} // namespace corvane
