// A 3,000-byte block that the store fills (a certificate or an encrypted private key), owned by
// one call and wiped when it is released.
#pragma once

#include "crypto/CryptoObject.h"
#include "external/abi.h"

namespace qm {

struct StoreBlock {
    ByteBuffer buffer{0, nullptr};
    StoreBlock() { buffer.data = new uint8_t[kStoreBlockSize](); }
    StoreBlock(const StoreBlock&) = delete;
    StoreBlock& operator=(const StoreBlock&) = delete;
    ~StoreBlock() { CCryptoObject::ReleaseBytes(&buffer); }
};

} // namespace qm
