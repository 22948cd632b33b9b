// CCryptoObject: the root of the crypto objects and a base of the three automation classes. It
// fixes the status word and the result convention (0 success; -2 nothing to copy, -11 input
// missing or too short, -12 a needed part not set yet, -21 no certificate loaded; any other value
// is the engine's or the store's code, passed on unchanged), the debugging dumps, the common
// digest slot and the byte-buffer helpers.
//
// Memory: bytes the objects copy themselves come from the general allocator (new[]/delete[]);
// blocks the engine hands back are released with CV_Free. Never mixed.
#pragma once

#include "platform/abi.h"

#include <cstdint>

namespace qm {

// Library result codes.
inline constexpr int32_t kNothingToCopy = -2;
inline constexpr int32_t kInputMissing = -11;
inline constexpr int32_t kPartNotSet = -12;
inline constexpr int32_t kNoCertificate = -21;

} // namespace qm

class CCryptoObject {
public:
    CCryptoObject() = default;
    CCryptoObject(const CCryptoObject&) = delete;
    CCryptoObject& operator=(const CCryptoObject&) = delete;

    // Virtual slots, in this order; subclasses append theirs after them.
    virtual void DumpChars(const uint8_t* data, int length);
    virtual void DumpHex(const uint8_t* data, int length);
    virtual int32_t PrintStatus();
    virtual ~CCryptoObject();
    virtual int32_t DigestBase64(ByteBuffer input, char** text, int32_t digestId);

    // Byte-buffer helpers. They never release what the target held: the caller does that first.
    static int32_t CopyBytes(ByteBuffer* target, const uint8_t* source, int length);
    static int32_t AssignBytes(ByteBuffer* target, int length, const uint8_t* source);
    static int32_t CopyText(ByteBuffer* target, const char* text);

    // Releases bytes of the general allocator, wiped first (they may be secret), and leaves the
    // buffer empty.
    static void ReleaseBytes(ByteBuffer* buffer);
    // Releases an engine block held in a buffer (CV_Free) and leaves the buffer empty.
    static void ReleaseEngineBytes(ByteBuffer* buffer);
    // Releases an engine text (CV_Free) and leaves the pointer null.
    static void ReleaseEngineText(char** text);

    // The status word, for callers that must not print it (PrintStatus does).
    int32_t GetStatus() const { return status; }

protected:
    int32_t status = 0;
};
