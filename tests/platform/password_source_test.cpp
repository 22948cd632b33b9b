// One rule for every tool's passwords (ledra-tool's PW options, quillmark-server's --password):
// each source, each way it can fail, and what a password is made of once it is read.
#include "platform/command_line.h"
#include "tests/support/openssl_cli.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using testing::HasSubstr;

enum class Outcome { kPassword, kUsage, kFailure };

struct Case {
    std::string source;
    Outcome outcome;
    std::string expected; // the password, or a part of the message
};

class PasswordSources : public testing::Test {
protected:
    void SetUp() override {
        setenv("QM_TEST_PW", "from the environment\r\nnot this", 1);
        setenv("QM_TEST_PW_EMPTY", "", 1);
        setenv("QM_TEST_PW_KOREAN", "비밀번호1234", 1);
        unsetenv("QM_TEST_PW_UNSET");
    }
    void TearDown() override {
        unsetenv("QM_TEST_PW");
        unsetenv("QM_TEST_PW_EMPTY");
        unsetenv("QM_TEST_PW_KOREAN");
    }

    std::string File(const std::string& name, const std::string& text) {
        std::ofstream(folder_ / name, std::ios::binary) << text;
        return "file:" + (folder_ / name).string();
    }

    qm::testing::TempDir folder_{"qm-passwords"};
};

TEST_F(PasswordSources, EverySourceFollowsTheOneRule) {
    const std::string longest(command_line::kMaxPasswordBytes, 'x');
    const Case cases[] = {
        {"pass:s3cret", Outcome::kPassword, "s3cret"},
        {"pass:비밀번호1234", Outcome::kPassword, "비밀번호1234"},
        {"pass:two\nlines", Outcome::kPassword, "two\nlines"},
        {"pass:", Outcome::kUsage, "--pw: the password is empty"},
        {"env:QM_TEST_PW", Outcome::kPassword, "from the environment\r\nnot this"},
        {"env:QM_TEST_PW_KOREAN", Outcome::kPassword, "비밀번호1234"},
        {"env:QM_TEST_PW_UNSET", Outcome::kUsage, "--pw: the variable QM_TEST_PW_UNSET is not set"},
        {"env:QM_TEST_PW_EMPTY", Outcome::kUsage, "the password is empty"},
        {File("crlf", "first\r\nsecond\r\n"), Outcome::kPassword, "first"},
        {File("lf", "first\nsecond"), Outcome::kPassword, "first"},
        {File("no-end", "all of it"), Outcome::kPassword, "all of it"},
        {File("spaces", " kept as typed \n"), Outcome::kPassword, " kept as typed "},
        {File("longest", longest + "\n"), Outcome::kPassword, longest},
        {File("too-long", longest + "y\n"), Outcome::kUsage, "longer than 65536 bytes"},
        {File("empty", ""), Outcome::kUsage, "the password is empty"},
        {File("blank-first-line", "\nsecond\n"), Outcome::kUsage, "the password is empty"},
        {"file:" + (folder_ / "missing").string(), Outcome::kFailure,
         "--pw: cannot read the password file"},
        {"file:" + folder_.path().string(), Outcome::kFailure, "cannot read the password file"},
        {"-", Outcome::kPassword, "typed at the terminal"},
        {"s3cret", Outcome::kUsage, "give a password as pass:TEXT, env:VARIABLE, file:PATH or -"},
        {"PASS:s3cret", Outcome::kUsage, "give a password as"},
        {"", Outcome::kUsage, "give a password as"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source.substr(0, 80));
        EXPECT_EQ(command_line::IsPasswordSource(c.source),
                  c.outcome != Outcome::kUsage || !c.expected.starts_with("give a password"));
        std::istringstream typed("typed at the terminal\r\nand more");
        auto standardInput = [&] { return command_line::ReadFirstLine(typed); };
        try {
            qm::WipedText password = command_line::ReadPassword(c.source, "--pw", standardInput);
            EXPECT_EQ(c.outcome, Outcome::kPassword);
            EXPECT_EQ(password.view(), c.expected);
            EXPECT_EQ(std::string(password.c_str()), c.expected) << "a C string too";
        } catch (const std::runtime_error& e) {
            bool usage = dynamic_cast<const command_line::UsageError*>(&e) != nullptr;
            EXPECT_EQ(c.outcome, usage ? Outcome::kUsage : Outcome::kFailure) << e.what();
            EXPECT_THAT(e.what(), HasSubstr(c.expected));
        }
    }
}

// The buffer that holds a password gives its bytes on whole when it moves, and reads as a C
// string whatever it was cut to.
TEST(WipedBuffer, MovesWholeAndStaysTerminated) {
    qm::WipedText text(std::string_view("correct horse"));
    text.Shrink(7);
    EXPECT_EQ(text.view(), "correct");
    EXPECT_STREQ(text.c_str(), "correct");
    qm::WipedText moved = std::move(text);
    EXPECT_TRUE(text.empty());
    EXPECT_STREQ(text.c_str(), "");
    EXPECT_EQ(moved.view(), "correct");
    moved = qm::WipedText(4);
    EXPECT_EQ(moved.view(), std::string_view("\0\0\0\0", 4));
}

} // namespace
