// The engine's block allocator and CV_Free.
//
// Every block that the engine hands to a caller (ByteBuffer data, texts, random bytes, detail
// texts) comes from AllocateBlock and from nowhere else. A small header in front of each block
// keeps its size, so that CV_Free can wipe the whole block before releasing it: blocks carry
// session keys, private keys and plaintexts, and the general heap would otherwise hand those
// bytes to whoever allocates next. The engine also records every live block, so that CV_Free of
// a pointer it does not hold (freed twice, or never the engine's) is refused without touching
// the memory behind it.
#include "engine/core/internal.h"
#include "engine/core/pool.h"
#include "platform/SecureWipe.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace corvane {
namespace {

struct alignas(std::max_align_t) Header {
    size_t size; // bytes after the header
};

class LiveBlocks {
public:
    void Add(void* block) {
        std::lock_guard guard(lock_);
        blocks_.insert(block);
    }
    bool Remove(void* block) noexcept {
        std::lock_guard guard(lock_);
        return blocks_.erase(block) == 1;
    }

private:
    std::mutex lock_;
    std::unordered_set<void*> blocks_;
};

LiveBlocks& Live() {
    // Never destroyed: a host may release blocks from its own static destructors, after this
    // file's statics would otherwise be gone.
    static LiveBlocks* live = new LiveBlocks;
    return *live;
}

} // namespace

uint8_t* AllocateBlock(size_t size) {
    if (size > SIZE_MAX - sizeof(Header)) {
        throw std::bad_alloc();
    }
    // At least one byte, so that even an empty text has its NUL.
    // Through OpenSSL's allocator: the Windows build gives it the engine's pool (pool.h).
    void* raw = OPENSSL_malloc(sizeof(Header) + (size == 0 ? 1 : size));
    if (raw == nullptr) {
        throw std::bad_alloc();
    }
    static_cast<Header*>(raw)->size = size == 0 ? 1 : size;
    uint8_t* block = static_cast<uint8_t*>(raw) + sizeof(Header);
    try {
        Live().Add(block);
    } catch (...) {
        OPENSSL_free(raw);
        throw;
    }
    return block;
}

bool ReleaseBlock(void* block) noexcept {
    if (block == nullptr || !Live().Remove(block)) {
        return false;
    }
    Header* header = reinterpret_cast<Header*>(static_cast<uint8_t*>(block) - sizeof(Header));
    // Where OpenSSL allocates from the pool, the pool wipes the whole block as it takes it back:
    // a megabyte of ciphertext is wiped once, not twice.
    if (!pool::WipesWhatOpenSslFrees()) {
        qm::SecureWipe(block, header->size);
    }
    OPENSSL_free(header);
    return true;
}

int32_t Block::HandOut(size_t used, ByteBuffer* output) {
    if (used > size_t(INT32_MAX)) {
        return err::kTooLarge;
    }
    if (used == 0) {
        ReleaseBlock(Release());
        *output = ByteBuffer{0, nullptr};
        return 0;
    }
    *output = ByteBuffer{int32_t(used), Release()};
    return 0;
}

char* Block::HandOutText(size_t length) {
    data_[length] = 0;
    return reinterpret_cast<char*>(Release());
}

char* CopyToTextBlock(std::string_view text) {
    Block block(text.size() + 1);
    if (!text.empty()) {
        std::memcpy(block.data(), text.data(), text.size());
    }
    return block.HandOutText(text.size());
}

int32_t CV_Free(void* block) noexcept {
    if (block == nullptr) {
        return 0;
    }
    return ReleaseBlock(block) ? 0 : err::kUnknownBlock;
}

} // namespace corvane
