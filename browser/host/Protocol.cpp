#include "browser/host/Protocol.h"

#include "platform/SecureWipe.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace qm::browser {

namespace {

using nlohmann::json;

// Numbers that a page's script holds exactly: ids and handles stay below 2^53.
constexpr uint64_t kLargestId = (uint64_t(1) << 53) - 1;

// How much of an oversized frame is kept to find its id: the service worker writes it first.
constexpr size_t kIdPrefixBytes = 64;

bool ReadExactly(const ByteSource& read, char* buffer, size_t size) {
    while (size > 0) {
        size_t got = read(buffer, size);
        if (got == 0) {
            return false;
        }
        buffer += got;
        size -= got;
    }
    return true;
}

// Reads and throws away `size` bytes; false when the input ended first.
bool Skip(const ByteSource& read, uint64_t size) {
    char scrap[64 * 1024];
    while (size > 0) {
        size_t got = read(scrap, size_t(std::min<uint64_t>(size, sizeof(scrap))));
        if (got == 0) {
            return false;
        }
        size -= got;
    }
    return true;
}

// The id at the start of a request ({"id":123,...}), read without parsing the rest.
std::optional<uint64_t> LeadingId(std::string_view text) {
    auto skipSpace = [&] {
        while (!text.empty() && std::strchr(" \t\r\n", text.front()) != nullptr) {
            text.remove_prefix(1);
        }
    };
    auto take = [&](std::string_view word) {
        skipSpace();
        if (text.substr(0, word.size()) != word) {
            return false;
        }
        text.remove_prefix(word.size());
        return true;
    };
    if (!take("{") || !take("\"id\"") || !take(":")) {
        return std::nullopt;
    }
    skipSpace();
    uint64_t id = 0;
    size_t digits = 0;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        if (digits == 15) {
            return std::nullopt;
        }
        id = id * 10 + uint64_t(text[digits] - '0');
    }
    // The number must end where a JSON number ends: "1e3" or "1.5" is no id.
    if (digits == 0 || digits == text.size() || text[digits] == '\0' ||
        std::strchr(" \t\r\n,}", text[digits]) == nullptr || id > kLargestId) {
        return std::nullopt;
    }
    return id;
}

Failure Fail(std::string name, std::string message) {
    return Failure{std::move(name), std::move(message)};
}

// A field that must be a whole number a page's script can hold.
std::optional<uint64_t> WholeNumber(const json& object, const char* field) {
    auto found = object.find(field);
    if (found == object.end() || !found->is_number_integer() ||
        (!found->is_number_unsigned() && found->get<int64_t>() < 0)) {
        return std::nullopt;
    }
    uint64_t value = found->get<uint64_t>();
    return value <= kLargestId ? std::optional<uint64_t>(value) : std::nullopt;
}

std::optional<std::string> Text(const json& object, const char* field) {
    auto found = object.find(field);
    if (found == object.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::optional<Value> ArgumentOf(const json& given) {
    switch (given.type()) {
    case json::value_t::null:
        return Value(nullptr);
    case json::value_t::boolean:
        return Value(given.get<bool>());
    case json::value_t::string:
        return Value(given.get<std::string>());
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float: {
        // A script engine passes a whole number that fits as a 32-bit integer, any other as a
        // double; the method's own conversion does the rest, as for a script in a page.
        double number = given.get<double>();
        if (std::trunc(number) == number && number >= std::numeric_limits<int32_t>::min() &&
            number <= std::numeric_limits<int32_t>::max()) {
            return Value(int32_t(number));
        }
        return Value(number);
    }
    default:
        return std::nullopt; // objects and arrays: no method takes one
    }
}

std::optional<Operation> OperationNamed(const std::string& name) {
    static const std::pair<const char*, Operation> kOperations[] = {
        {"hello", Operation::Hello},     {"create", Operation::Create}, {"call", Operation::Call},
        {"release", Operation::Release}, {"drop", Operation::Drop},
    };
    for (const auto& [text, op] : kOperations) {
        if (name == text) {
            return op;
        }
    }
    return std::nullopt;
}

// The fields that a page's requests carry besides the operation's own: the page, as the service
// worker names it. Without its origin a request cannot be judged, so it is refused.
std::optional<Failure> ReadPage(const json& object, Request& request) {
    std::optional<uint64_t> client = WholeNumber(object, "client");
    if (!client) {
        return Fail("DataError", "the request names no client (the page's connection)");
    }
    request.client = *client;
    if (request.op == Operation::Drop) {
        return std::nullopt;
    }
    std::optional<std::string> origin = Text(object, "origin");
    std::optional<std::string> top = Text(object, "topOrigin");
    if (!origin || origin->empty() || !top || top->empty()) {
        return Fail("DataError",
                    "the request names no origin and top-level origin: the browser's extension "
                    "adds them to every request of a page");
    }
    request.origin = *origin;
    request.topOrigin = *top;
    return std::nullopt;
}

std::optional<Failure> ReadOperation(const json& object, Request& request) {
    switch (request.op) {
    case Operation::Hello:
    case Operation::Drop:
        return std::nullopt;
    case Operation::Create:
        if (std::optional<std::string> name = Text(object, "class")) {
            request.className = *name;
            return std::nullopt;
        }
        return Fail("DataError", "create needs the name of a class");
    case Operation::Call:
    case Operation::Release:
        break;
    }
    std::optional<uint64_t> handle = WholeNumber(object, "object");
    if (!handle) {
        return Fail("DataError", "the request names no object");
    }
    request.object = *handle;
    if (request.op == Operation::Release) {
        return std::nullopt;
    }
    std::optional<std::string> method = Text(object, "method");
    if (!method) {
        return Fail("DataError", "call needs the name of a method");
    }
    request.method = *method;
    auto args = object.find("args");
    if (args == object.end()) {
        return std::nullopt;
    }
    if (!args->is_array()) {
        return Fail("DataError", "the arguments are not a list");
    }
    for (const json& given : *args) {
        std::optional<Value> argument = ArgumentOf(given);
        if (!argument) {
            return Fail("TypeError", request.method + ": argument " +
                                         std::to_string(request.args.size() + 1) +
                                         " is an object or a list; the methods take strings and "
                                         "numbers");
        }
        request.args.push_back(std::move(*argument));
    }
    return std::nullopt;
}

// Wipes the texts of the request's arguments where the parser left them.
void WipeArguments(json& object) noexcept {
    auto args = object.find("args");
    if (args == object.end() || !args->is_array()) {
        return;
    }
    for (json& given : *args) {
        if (given.is_string()) {
            WipeText(given.get_ref<std::string&>());
        }
    }
}

json ToJson(const Value& value) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                return json(nullptr);
            } else {
                return json(v);
            }
        },
        value);
}

// The reply's text; one too long for a browser becomes an error about it.
std::string Finish(const json& reply, uint64_t id) {
    std::string text = reply.dump(-1, ' ', false, json::error_handler_t::replace);
    if (text.size() <= kMaxReplyBytes) {
        return text;
    }
    return ErrorReply(id,
                      Fail("QuotaExceededError", "the result is " + std::to_string(text.size()) +
                                                     " bytes long; a browser takes at most " +
                                                     std::to_string(kMaxReplyBytes) +
                                                     " bytes from Quillmark: pass a shorter text"));
}

} // namespace

Frame ReadFrame(const ByteSource& read) {
    Frame frame;
    unsigned char header[4];
    if (!ReadExactly(read, reinterpret_cast<char*>(header), sizeof(header))) {
        return frame;
    }
    frame.length = uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 |
                   uint32_t(header[3]) << 24;
    if (frame.length > kMaxRequestBytes) {
        char prefix[kIdPrefixBytes];
        size_t kept = std::min<size_t>(kIdPrefixBytes, frame.length);
        if (!ReadExactly(read, prefix, kept) || !Skip(read, frame.length - kept)) {
            return Frame{};
        }
        frame.kind = Frame::Kind::TooLarge;
        frame.id = LeadingId(std::string_view(prefix, kept));
        return frame;
    }
    frame.body.resize(frame.length);
    if (!ReadExactly(read, frame.body.data(), frame.length)) {
        return Frame{};
    }
    frame.kind = Frame::Kind::Message;
    return frame;
}

std::string EncodeFrame(std::string_view body) {
    const auto length = uint32_t(body.size());
    std::string frame;
    frame.reserve(4 + body.size());
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(char((length >> shift) & 0xFF));
    }
    frame.append(body);
    return frame;
}

Request::~Request() {
    for (Value& arg : args) {
        if (auto* text = std::get_if<std::string>(&arg)) {
            WipeText(*text);
        }
    }
}

void WipeText(std::string& text) noexcept {
    SecureWipe(text.data(), text.capacity());
}

std::variant<Request, RequestError> ParseRequest(std::string_view body) {
    json object = json::parse(body.begin(), body.end(), nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        return RequestError{std::nullopt,
                            Fail("SyntaxError", "the request is not a JSON object in UTF-8")};
    }
    struct Wiper {
        json& object;
        ~Wiper() { WipeArguments(object); }
    } wiper{object};
    Request request;
    std::optional<uint64_t> id = WholeNumber(object, "id");
    if (!id) {
        return RequestError{std::nullopt, Fail("DataError", "the request has no id")};
    }
    request.id = *id;
    std::optional<std::string> opName = Text(object, "op");
    std::optional<Operation> op = opName ? OperationNamed(*opName) : std::nullopt;
    if (!op) {
        return RequestError{
            id, Fail("NotSupportedError", "no such operation: " + (opName ? *opName : "(none)"))};
    }
    request.op = *op;
    if (request.op != Operation::Hello) {
        if (std::optional<Failure> failure = ReadPage(object, request)) {
            return RequestError{id, *failure};
        }
    }
    if (std::optional<Failure> failure = ReadOperation(object, request)) {
        return RequestError{id, *failure};
    }
    return request;
}

std::string ResultReply(uint64_t id, const Value& result) {
    return Finish(json{{"id", id}, {"ok", true}, {"result", ToJson(result)}}, id);
}

std::string CreatedReply(uint64_t id, uint64_t object, const std::vector<std::string>& methods) {
    return Finish(json{{"id", id}, {"ok", true}, {"object", object}, {"methods", methods}}, id);
}

std::string HelloReply(uint64_t id, std::string_view version,
                       const std::optional<Failure>& problem) {
    json reply{{"id", id}, {"ok", !problem}, {"version", version}};
    if (problem) {
        reply["error"] = json{{"name", problem->name}, {"message", problem->message}};
    }
    return Finish(reply, id);
}

std::string DoneReply(uint64_t id) {
    return Finish(json{{"id", id}, {"ok", true}}, id);
}

std::string ErrorReply(std::optional<uint64_t> id, const Failure& failure) {
    json reply{{"id", id ? json(*id) : json(nullptr)},
               {"ok", false},
               {"error", json{{"name", failure.name}, {"message", failure.message}}}};
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

Failure TooLargeFailure(uint32_t length) {
    return Fail("QuotaExceededError", "the request is " + std::to_string(length) +
                                          " bytes long; Quillmark takes at most " +
                                          std::to_string(kMaxRequestBytes) + " bytes");
}

} // namespace qm::browser
