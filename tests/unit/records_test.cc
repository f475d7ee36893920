#include "runner/records.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace OmviAgentRunnerMain {
namespace {

std::string pidText() {
  return std::to_string(getpid());
}

TEST(Encode, FailureFromTextAloneHasExactlyFiveKeys) {
  EXPECT_EQ(encodeToString(failure("boom")),
            R"({"error":"boom","helper":"omvi-agent-runner","message":"boom","ok":false,"pid":)" +
                pidText() + "}");
}

TEST(Encode, SuccessWithStdoutOnlyListsFourKeysInByteOrder) {
  EXPECT_EQ(
      encodeToString(success({.stdoutText = "pong"})),
      R"({"helper":"omvi-agent-runner","ok":true,"pid":)" + pidText() + R"(,"stdout":"pong"})");
}

TEST(Encode, EveryKeyPresentComesOutSorted) {
  RunnerResponse response = failure("e", {.stdoutText = "o",
                                          .stderrText = "r",
                                          .exitStatus = -3,
                                          .affectedPaths = std::vector<std::string>{"a", "b"}});
  response.path = "p";
  response.writtenBytes = 9007199254740993;
  EXPECT_EQ(
      encodeToString(response),
      R"({"affected_paths":["a","b"],"error":"e","exit_status":-3,"helper":"omvi-agent-runner",)"
      R"("message":"e","ok":false,"path":"p","pid":)" +
          pidText() + R"(,"stderr":"r","stdout":"o","written_bytes":9007199254740993})");
}

TEST(Encode, EmptyValuesAreWrittenAndAbsentOnesAreNot) {
  const std::string text = encodeToString(
      success({.affectedPaths = std::vector<std::string>{}, .stdoutText = "", .exitStatus = 0}));
  EXPECT_NE(text.find(R"("affected_paths":[])"), std::string::npos);
  EXPECT_NE(text.find(R"("stdout":"")"), std::string::npos);
  EXPECT_EQ(text.find("stderr"), std::string::npos);
  EXPECT_EQ(text.find("null"), std::string::npos);
}

TEST(Encode, EscapesSlashQuoteBackslashAndControlsButNotUnicode) {
  const std::string text = encodeToString(success(
      {.path = "/tmp/a", .message = std::string("q\"b\\n\n\t\r\b\f\x01\x1f\x7f", 13) + "é😀"}));
  EXPECT_NE(text.find(R"("path":"\/tmp\/a")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("message":"q\"b\\n\n\t\r\b\f\u0001\u001f)"
                      "\x7f"
                      "é😀\""),
            std::string::npos)
      << text;
}

TEST(Encode, NulIsEscaped) {
  const std::string text = encodeToString(success({.stdoutText = std::string("a\0b", 3)}));
  EXPECT_NE(text.find(R"("stdout":"a\u0000b")"), std::string::npos) << text;
}

TEST(Encode, InvalidUtf8FallsBackToTheFixedText) {
  const std::string text = encodeToString(success({.stdoutText = "\xff"}));
  EXPECT_EQ(text, kEncodeFailedText);
  EXPECT_EQ(text.size(), 65U);
}

TEST(Builders, FailureRepeatsItsTextAndSuccessHasNoError) {
  const RunnerResponse bad = failure("x", {.exitStatus = 2});
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.error, "x");
  EXPECT_EQ(bad.message, "x");
  EXPECT_EQ(bad.exitStatus, 2);
  EXPECT_EQ(bad.pid, getpid());
  const RunnerResponse good = success({.message = "m"});
  EXPECT_TRUE(good.ok);
  EXPECT_FALSE(good.error);
  EXPECT_EQ(good.helper, "omvi-agent-runner");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
