// The crypto engine's core: plain C++ over OpenSSL 3, with the functions of
// engine/core/functions.inc and their signatures, which are those of Corvane.dll's exports (each
// function's contract is there). The export layer of the DLL forwards to these; native programs
// (tests, benchmarks, fuzzers, tools) call them directly.
//
// What the engine decides for itself:
//   - Every function returns 0 or a code of engine/core/errors.h, never throws (each is noexcept
//     and catches at its own boundary) and never touches the OpenSSL state of the host: it works in
//     a private library context and leaves the thread's OpenSSL error queue as it found it.
//   - A failed call hands back nothing: output buffers are set to {0, null} and text or block
//     pointers to null (detail texts of CV_VerifyCertificate excepted, see there).
//   - Blocks handed out (ByteBuffer data, texts, random bytes, detail texts) come only from the
//     engine's own allocator, which records each one; CV_Free wipes a block before releasing it,
//     because some hold key material. CV_Free of null does nothing; of anything else the engine
//     does not hold (already released, or never handed out) it returns kUnknownBlock untouched.
//   - Inputs: a null ByteBuffer pointer, a negative length, or a null data pointer with a positive
//     length is a failure code. Whether a zero length is a failure is stated per function.
//   - Digest ids and the random source: engine/core/constants.h. Cipher ids: those of
//     platform/ciphers.h, all CBC with PKCS#7 padding.
#pragma once

#include "engine/core/constants.h"
#include "platform/abi.h"

namespace corvane {

#define QM_ENGINE_FUNCTION(name, ordinal, parameters, arguments) int32_t name parameters noexcept;
#include "engine/core/functions.inc"

} // namespace corvane
