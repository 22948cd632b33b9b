// The native messaging protocol as quillmark-host.exe speaks it with the extension's service
// worker.
//
// Frames: a 32-bit length in little-endian order, then that many bytes of UTF-8 JSON, in both
// directions. A browser takes at most 1 MB from a host (a longer frame makes it close the port);
// the host reads requests of up to 8 MiB, enough for a large CRL, and refuses a longer one without
// holding it in memory.
//
// Requests (the service worker writes "id" first; "client", "origin" and "topOrigin" are its own,
// never the page's):
//   {"id": 1, "op": "hello"}
//   {"id": 2, "op": "create", "client": 7, "origin": "https://bank.example",
//    "topOrigin": "https://bank.example", "class": "SecureSession"}
//   {"id": 3, "op": "call", "client": 7, "origin": ..., "topOrigin": ..., "object": 1,
//    "method": "EncipherEx", "args": ["text"]}
//   {"id": 4, "op": "release", "client": 7, "origin": ..., "topOrigin": ..., "object": 1}
//   {"id": 5, "op": "drop", "client": 7}         (the page is gone: all its objects go)
// Replies:
//   {"id": 2, "ok": true, "object": 1, "methods": ["Base64Encode", ...]}
//   {"id": 3, "ok": true, "result": "..."}        (null where the method left its string null)
//   {"id": 3, "ok": false, "error": {"name": "NotAllowedError", "message": "..."}}
// The error names are the web's: NotAllowedError (the site lock refused), TypeError (arguments the
// method cannot take), NotSupportedError (no such operation, class or method), InvalidStateError
// (no such object for this page), SyntaxError (not a JSON object), DataError (a field missing or
// of the wrong kind), QuotaExceededError (too large, too many), OperationError (anything else).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qm::browser {

inline constexpr uint32_t kMaxRequestBytes = 8u << 20;
inline constexpr uint32_t kMaxReplyBytes = 1u << 20;

// Reads up to `size` bytes into `buffer`; 0 at the end of the input (or on an error).
using ByteSource = std::function<size_t(char* buffer, size_t size)>;

struct Frame {
    enum class Kind { Message, TooLarge, End };
    Kind kind = Kind::End;
    std::string body;           // Message: the whole body
    uint32_t length = 0;        // the length the frame announced
    std::optional<uint64_t> id; // TooLarge: the request's id, when its first bytes name one
};

// The next frame. A frame longer than kMaxRequestBytes is read to its end and thrown away; the
// host answers it by the id at its start. The input ending inside a frame ends the input.
Frame ReadFrame(const ByteSource& read);

// The frame that carries `body`.
std::string EncodeFrame(std::string_view body);

// A value that crosses between a page and a method: an argument or a result.
using Value = std::variant<std::nullptr_t, bool, int32_t, double, std::string>;

enum class Operation { Hello, Create, Call, Release, Drop };

// A page's arguments may hold a password: a request wipes them when it goes.
struct Request {
    Request() = default;
    Request(Request&&) = default;
    Request& operator=(Request&&) = default;
    ~Request();

    uint64_t id = 0;
    Operation op = Operation::Hello;
    uint64_t client = 0;
    std::string origin;    // the page's, as the browser verified it (UTF-8)
    std::string topOrigin; // its top-level page's
    std::string className; // create
    uint64_t object = 0;   // call, release
    std::string method;    // call
    std::vector<Value> args;
};

struct Failure {
    std::string name;
    std::string message;
};

struct RequestError {
    std::optional<uint64_t> id; // when the request named one
    Failure failure;
};

// A request read from a frame's body, or why it is none. The copies of the arguments that the
// parser made on the way are wiped; the body is the caller's to wipe.
std::variant<Request, RequestError> ParseRequest(std::string_view body);

// Overwrites the whole buffer of a text that may hold a secret.
void WipeText(std::string& text) noexcept;

// Replies, as frame bodies. A reply longer than a browser takes becomes a QuotaExceededError.
std::string ResultReply(uint64_t id, const Value& result);
std::string CreatedReply(uint64_t id, uint64_t object, const std::vector<std::string>& methods);
std::string HelloReply(uint64_t id, std::string_view version,
                       const std::optional<Failure>& problem);
std::string DoneReply(uint64_t id);
std::string ErrorReply(std::optional<uint64_t> id, const Failure& failure);

// The failure that answers a frame too long to read.
Failure TooLargeFailure(uint32_t length);

} // namespace qm::browser
