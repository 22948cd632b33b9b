// The host's side of the native messaging protocol, natively: frames as a browser writes them
// (and as a broken or hostile writer does), requests and the replies to them.
#include "browser/host/Protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

using namespace qm::browser;

namespace {

// A byte source over a string, handing out at most `chunk` bytes per read, as a pipe does.
struct Input {
    std::string bytes;
    size_t at = 0;
    size_t chunk = 7;

    ByteSource Source() {
        return [this](char* buffer, size_t size) {
            size_t n = std::min({size, chunk, bytes.size() - at});
            std::memcpy(buffer, bytes.data() + at, n);
            at += n;
            return n;
        };
    }
};

std::string Header(uint32_t length) {
    return {char(length), char(length >> 8), char(length >> 16), char(length >> 24)};
}

// A request of id 1: its operation and the fields after it.
std::string Op(const std::string& op, const std::string& fields = "") {
    return R"({"id":1,"op":")" + op + '"' + fields + "}";
}

std::string ErrorName(const std::variant<Request, RequestError>& parsed) {
    if (const auto* error = std::get_if<RequestError>(&parsed)) {
        return error->failure.name;
    }
    return "ok";
}

} // namespace

TEST(BrowserProtocol, FramesKeepTheirBoundariesWhateverTheReadsReturn) {
    const std::string korean = "{\"text\":\"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4\"}";
    Input input{EncodeFrame("{}") + EncodeFrame(korean) + EncodeFrame("")};
    ASSERT_EQ(4u + 2u, EncodeFrame("{}").size());
    EXPECT_EQ(std::string("\x02\x00\x00\x00{}", 6), EncodeFrame("{}")) << "little-endian length";
    for (const std::string& expected : {std::string("{}"), korean, std::string()}) {
        Frame frame = ReadFrame(input.Source());
        EXPECT_EQ(Frame::Kind::Message, frame.kind);
        EXPECT_EQ(expected, frame.body);
    }
    EXPECT_EQ(Frame::Kind::End, ReadFrame(input.Source()).kind);
}

TEST(BrowserProtocol, AFrameTooLongIsSkippedAndAnsweredByItsId) {
    const std::string big =
        "{\"id\":42,\"op\":\"call\",\"args\":[\"" + std::string(kMaxRequestBytes, 'x') + "\"]}";
    Input input{EncodeFrame(big) + EncodeFrame("{\"id\":43}"), 0, 1 << 16};
    Frame frame = ReadFrame(input.Source());
    EXPECT_EQ(Frame::Kind::TooLarge, frame.kind);
    EXPECT_EQ(big.size(), frame.length);
    EXPECT_EQ(42u, frame.id.value_or(0));
    EXPECT_TRUE(frame.body.empty()) << "nothing of it is kept";
    Frame next = ReadFrame(input.Source());
    EXPECT_EQ(Frame::Kind::Message, next.kind) << "the stream stays in step";
    EXPECT_EQ("{\"id\":43}", next.body);

    // The longest frame that is read, and a claim of 4 GB that the input does not back.
    Input limit{Header(kMaxRequestBytes) + std::string(kMaxRequestBytes, ' '), 0, 1 << 20};
    EXPECT_EQ(Frame::Kind::Message, ReadFrame(limit.Source()).kind);
    Input lying{Header(0xFFFFFFFFu) + "{\"id\":7}"};
    EXPECT_EQ(Frame::Kind::End, ReadFrame(lying.Source()).kind);

    // Where the start names no id (or not first), the answer names none.
    for (const char* start : {"[1,2]", "{\"op\":\"call\",\"id\":5}", "{\"id\":-5}", "{\"id\":1e3}",
                              "{\"id\":99999999999999999999}"}) {
        Input other{Header(kMaxRequestBytes + 1) + start +
                        std::string(kMaxRequestBytes + 1 - std::strlen(start), ' '),
                    0, 1 << 20};
        Frame refused = ReadFrame(other.Source());
        EXPECT_EQ(Frame::Kind::TooLarge, refused.kind) << start;
        EXPECT_FALSE(refused.id.has_value()) << start;
    }
    std::string reply = ErrorReply(frame.id, TooLargeFailure(frame.length));
    EXPECT_NE(std::string::npos, reply.find("\"id\":42"));
    EXPECT_NE(std::string::npos, reply.find("QuotaExceededError"));
}

TEST(BrowserProtocol, AnInputThatEndsInsideAFrameEndsTheInput) {
    for (const std::string& cut : {std::string("\x05\x00", 2), Header(10) + "{\"id\":"}) {
        Input input{cut};
        EXPECT_EQ(Frame::Kind::End, ReadFrame(input.Source()).kind);
    }
}

TEST(BrowserProtocol, RequestsAreReadOrRefusedWithAReason) {
    const std::string page =
        R"(,"client":3,"origin":"https://bank.example","topOrigin":"https://bank.example")";
    // The request, "ok" or the error's name, and whether the error names the request's id.
    const std::tuple<std::string, std::string, bool> rows[] = {
        {Op("hello"), "ok", true},
        {Op("drop", R"(,"client":3)"), "ok", true},
        {Op("create", page + R"(,"class":"Veyra")"), "ok", true},
        {Op("call", page + R"(,"object":2,"method":"GetErrorCode")"), "ok", true},
        {Op("release", page + R"(,"object":2)"), "ok", true},
        {"not json", "SyntaxError", false},
        {R"({"id":1,"op":"hello")", "SyntaxError", false},
        {"[1,2,3]", "SyntaxError", false},
        {R"("text")", "SyntaxError", false},
        {R"({"id":"1","op":"hello"})", "DataError", false},
        {R"({"id":-1,"op":"hello"})", "DataError", false},
        {R"({"id":1.5,"op":"hello"})", "DataError", false},
        {R"({"id":9007199254740992,"op":"hello"})", "DataError", false},
        {R"({"op":"hello"})", "DataError", false},
        {Op("format"), "NotSupportedError", true},
        {R"({"id":1})", "NotSupportedError", true},
        {Op("create", R"(,"class":"Veyra")"), "DataError", true},
        {Op("create", R"(,"client":3,"class":"Veyra")"), "DataError", true},
        {Op("create", R"(,"client":3,"origin":"https://bank.example","class":"Veyra")"),
         "DataError", true},
        {Op("create", R"(,"client":3,"origin":"","topOrigin":"","class":"Veyra")"), "DataError",
         true},
        {Op("create", page + R"(,"class":7)"), "DataError", true},
        {Op("call", page + R"(,"method":"GetErrorCode")"), "DataError", true},
        {Op("call", page + R"(,"object":"2","method":"X")"), "DataError", true},
        {Op("call", page + R"(,"object":2)"), "DataError", true},
        {Op("call", page + R"(,"object":2,"method":"X","args":"a")"), "DataError", true},
        {Op("call", page + R"(,"object":2,"method":"X","args":[{}])"), "TypeError", true},
        {Op("call", page + R"(,"object":2,"method":"X","args":["a",[1]])"), "TypeError", true},
        {Op("drop"), "DataError", true},
        // Invalid UTF-8, and a lone surrogate: not text that a method could be given.
        {Op("hello", ",\"x\":\"\xC3\x28\""), "SyntaxError", false},
        {Op("hello", R"(,"x":"\ud800")"), "SyntaxError", false},
    };
    for (const auto& [body, verdict, id] : rows) {
        auto parsed = ParseRequest(body);
        EXPECT_EQ(verdict, ErrorName(parsed)) << body;
        if (const auto* error = std::get_if<RequestError>(&parsed)) {
            EXPECT_EQ(id, error->id.has_value()) << body;
            EXPECT_FALSE(error->failure.message.empty()) << body;
        }
    }
    // Deeply nested input is refused, not a crash.
    std::string deep = Op("call", page + R"(,"object":2,"method":"X","args":)" +
                                      std::string(100000, '[') + std::string(100000, ']'));
    EXPECT_EQ("TypeError", ErrorName(ParseRequest(deep)));
}

TEST(BrowserProtocol, ArgumentsArriveAsAScriptEngineWouldPassThem) {
    auto parsed = ParseRequest(R"({"id":9,"op":"call","client":1,"origin":"https://a.example",
        "topOrigin":"https://b.example","object":4,"method":"getDNList",
        "args":["한국어",0,-7,2147483648,1.5,true,null]})");
    ASSERT_EQ("ok", ErrorName(parsed));
    const Request& request = std::get<Request>(parsed);
    EXPECT_EQ(Operation::Call, request.op);
    EXPECT_EQ("https://a.example", request.origin);
    EXPECT_EQ("https://b.example", request.topOrigin) << "the top page is kept apart";
    EXPECT_EQ(4u, request.object);
    EXPECT_EQ("getDNList", request.method);
    EXPECT_THAT(request.args,
                testing::ElementsAre(Value(std::string("\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4")),
                                     Value(int32_t(0)), Value(int32_t(-7)),
                                     Value(2147483648.0), // past 32 bits: a double
                                     Value(1.5), Value(true), Value(nullptr)));
}

TEST(BrowserProtocol, RepliesCarryTheResultOrSayWhyNot) {
    EXPECT_EQ(R"({"id":5,"ok":true,"result":null})", ResultReply(5, Value(nullptr)));
    EXPECT_EQ(R"({"id":5,"ok":true,"result":-198148077})", ResultReply(5, Value(-198148077)));
    EXPECT_EQ("{\"id\":5,\"ok\":true,\"result\":\"\xED\x95\x9C \\\"q\\\"\"}",
              ResultReply(5, Value(std::string("\xED\x95\x9C \"q\""))));
    EXPECT_EQ(R"({"error":{"message":"m","name":"NotAllowedError"},"id":null,"ok":false})",
              ErrorReply(std::nullopt, Failure{"NotAllowedError", "m"}));
    EXPECT_EQ(R"({"id":2,"methods":["A","b"],"object":7,"ok":true})",
              CreatedReply(2, 7, {"A", "b"}));

    // A browser closes the port on a frame longer than 1 MB: such a result is refused instead.
    std::string fits = ResultReply(6, Value(std::string(kMaxReplyBytes - 64, 'x')));
    EXPECT_LE(fits.size(), kMaxReplyBytes);
    EXPECT_NE(std::string::npos, fits.find("\"ok\":true"));
    std::string refused = ResultReply(6, Value(std::string(kMaxReplyBytes, 'x')));
    EXPECT_NE(std::string::npos, refused.find("QuotaExceededError")) << refused.substr(0, 200);
    EXPECT_NE(std::string::npos, refused.find("\"id\":6"));
    EXPECT_LT(refused.size(), 400u);
}
