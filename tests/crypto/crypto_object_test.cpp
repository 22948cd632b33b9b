// The root of the crypto objects: byte-buffer helpers, debugging dumps, status print, digest slot.
#include "crypto/CryptoObject.h"
#include "tests/crypto/doubles_test.h"

#include <cstring>
#include <functional>

namespace {

class Probe : public CCryptoObject {
public:
    void SetStatus(int32_t s) { status = s; }
};

std::string Captured(const std::function<void()>& print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}

using CryptoObjectTest = DoublesTest;

TEST(ByteBufferHelpers, RefuseNothingToCopyAndLeaveTheTargetAlone) {
    uint8_t source[3] = {1, 2, 3};
    uint8_t sentinel = 0;
    ByteBuffer target{77, &sentinel};
    EXPECT_EQ(CCryptoObject::CopyBytes(&target, source, 0), qm::kNothingToCopy);
    EXPECT_EQ(CCryptoObject::CopyBytes(&target, source, -1), qm::kNothingToCopy);
    EXPECT_EQ(CCryptoObject::CopyBytes(&target, nullptr, 3), qm::kNothingToCopy);
    EXPECT_EQ(CCryptoObject::AssignBytes(&target, 0, source), qm::kNothingToCopy);
    EXPECT_EQ(CCryptoObject::CopyText(&target, ""), qm::kNothingToCopy);
    EXPECT_EQ(CCryptoObject::CopyText(&target, nullptr), qm::kNothingToCopy);
    EXPECT_EQ(target.length, 77);
    EXPECT_EQ(target.data, &sentinel);
}

TEST(ByteBufferHelpers, CopyTextLeavesOutTheTerminatorAndAssignMatchesCopy) {
    ByteBuffer text{0, nullptr};
    ASSERT_EQ(CCryptoObject::CopyText(&text, "abc"), 0);
    ASSERT_EQ(text.length, 3);
    EXPECT_EQ(std::memcmp(text.data, "abc", 3), 0);

    ByteBuffer assigned{0, nullptr};
    ASSERT_EQ(CCryptoObject::AssignBytes(&assigned, 3, text.data), 0);
    ASSERT_EQ(assigned.length, 3);
    EXPECT_NE(assigned.data, text.data);
    EXPECT_EQ(std::memcmp(assigned.data, "abc", 3), 0);

    CCryptoObject::ReleaseBytes(&text);
    CCryptoObject::ReleaseBytes(&assigned);
    EXPECT_EQ(text.data, nullptr);
    EXPECT_EQ(text.length, 0);
}

TEST(Dumps, PrintTheExactFormats) {
    Probe probe;
    const uint8_t bytes[] = {0x0A, 0xFF};
    EXPECT_EQ(Captured([&] { probe.DumpHex(bytes, 2); }), "0AFF\n");
    EXPECT_EQ(Captured([&] {
                  probe.DumpChars(reinterpret_cast<const uint8_t*>("Hi!"), 3);
                  probe.DumpChars(reinterpret_cast<const uint8_t*>("x"), 0);
                  probe.DumpHex(nullptr, 5);
              }),
              "Hi!\n\n\n");

    probe.SetStatus(qm::kPartNotSet);
    int32_t printed = 0;
    EXPECT_EQ(Captured([&] { printed = probe.PrintStatus(); }), "FFFFFFF4\n");
    EXPECT_EQ(printed, qm::kPartNotSet);

    probe.SetStatus(5);
    EXPECT_EQ(Captured([&] { probe.PrintStatus(); }), "05\n");
}

TEST_F(CryptoObjectTest, DigestBase64HandsOutTheEncodedDigest) {
    Probe probe;
    std::vector<uint8_t> bytes = Fixture("user.der");
    char* text = nullptr;
    EXPECT_EQ(
        probe.DigestBase64(ByteBuffer{int32_t(bytes.size()), bytes.data()}, &text, qm::kDigestSha1),
        0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), FixtureText("user.der.sha1"));
    EXPECT_EQ(LiveBlocks(), 1u); // the digest itself went back at once; the text is the caller's
    qm::Engine().CV_Free(text);
}

TEST_F(CryptoObjectTest, DigestBase64FailuresLeaveNoTextAndAreRecorded) {
    Probe probe;
    std::vector<uint8_t> bytes = Bytes("abc");
    char sentinel = 0;
    char* text = &sentinel;
    for (auto [failing, code] : {std::pair("CV_Digest", -77), std::pair("CV_Base64Encode", -78)}) {
        SCOPED_TRACE(failing);
        engine().failures.clear();
        FailEngine(failing, code);
        EXPECT_EQ(probe.DigestBase64(ByteBuffer{3, bytes.data()}, &text, qm::kDigestSha1), code);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(probe.GetStatus(), code);
        if (code == -77) {
            EXPECT_EQ(engine().Count("CV_Base64Encode"), 0) << "the failed digest is not encoded";
        }
    }

    // An id the engine does not know: its own code.
    engine().failures.clear();
    EXPECT_EQ(probe.DigestBase64(ByteBuffer{3, bytes.data()}, &text, 999), err::kUnknownDigest);
    EXPECT_EQ(text, nullptr);
}

} // namespace
