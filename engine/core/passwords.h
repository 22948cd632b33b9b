// A password in two spellings. A page's password reaches the engine as bytes in the ANSI code page
// of its process (949 on Korean Windows), while ledra-tool, OpenSSL's tools and RFC 8018 take a
// password as UTF-8: a key encrypted under "비밀번호1234" by one of them opens under the other's
// bytes only once they are converted. So the engine tries a password as given and then, when it
// is not ASCII and did not open the key, as UTF-8 converted from the ANSI code page; ledra-tool
// does the converse. The key's file is read and its derivation checked against the caps once, so
// a wrong password costs at most two derivations. Every converted copy is wiped when released.
//
// These are the engine core's own functions, for the native programs and the store's tool;
// Corvane.dll exports none of them (CV_DecryptPrivateKey does the engine's half).
#pragma once

#include "platform/SecureWipe.h"
#include "platform/abi.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace corvane {

inline constexpr uint32_t kUtf8CodePage = 65001;

// Bytes of a password, wiped when released.
using qm::WipedBytes;

bool IsAscii(std::span<const uint8_t> text) noexcept;

// The text converted from the code page to UTF-8, or from UTF-8 to the code page. Nothing when a
// byte is not text of the code page it is said to be in, or a character has no counterpart in the
// other (a spelling with a stand-in character would be another password), and for a code page of
// 0 or UTF-8's, where there is no other spelling. Throw std::bad_alloc.
std::optional<WipedBytes> Utf8FromCodePage(std::span<const uint8_t> text, uint32_t codePage);
std::optional<WipedBytes> CodePageFromUtf8(std::span<const uint8_t> utf8, uint32_t codePage);

// The code page of the narrow text that the process's callers hand the engine: the ANSI code page
// on Windows. A POSIX process has none (0): its programs take passwords as UTF-8, and
// CV_DecryptPrivateKey tries a password there as given only.
uint32_t AnsiCodePage() noexcept;

// CV_DecryptPrivateKey with the password's bytes taken as text in `codePage`: a password that is
// not ASCII and does not open the key is tried once more as UTF-8 (CV_DecryptPrivateKey is this
// with AnsiCodePage()). A code page of 0 or UTF-8's gives no second spelling.
int32_t DecryptPrivateKeyInCodePage(EngineContext* context, const ByteBuffer* encryptedKey,
                                    const ByteBuffer* password, uint32_t codePage,
                                    ByteBuffer* output) noexcept;

// CV_DecryptPrivateKey with a second spelling of the password, tried when the first one does not
// open the key (null or empty: none). Results as CV_DecryptPrivateKey's.
int32_t DecryptPrivateKeyEitherWay(EngineContext* context, const ByteBuffer* encryptedKey,
                                   const ByteBuffer* password, const ByteBuffer* otherSpelling,
                                   ByteBuffer* output) noexcept;

} // namespace corvane
