// Exact response texts. Key order, absent fields left out, every "/" escaped, no raw control
// character and the encode_failed fallback are the encoder fuzz target's properties.
#include "runner/records.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace OmviAgentRunnerMain {
namespace {

TEST(Encode, ExactTexts) {
  const std::string pid = std::to_string(getpid());
  RunnerResponse every = failure("e", {.stdoutText = "o",
                                       .stderrText = "r",
                                       .exitStatus = -3,
                                       .affectedPaths = std::vector<std::string>{"a", "b"}});
  every.path = "p";
  every.writtenBytes = 9007199254740993;
  const std::string controls = std::string("q\"b\\n\n\t\r\b\f\x01\x1f\x7f\0", 14) + "é😀";
  const std::pair<RunnerResponse, std::string> cases[] = {
      {failure("boom"),
       R"({"error":"boom","helper":"omvi-agent-runner","message":"boom","ok":false,"pid":)" + pid +
           "}"},
      {every,
       R"({"affected_paths":["a","b"],"error":"e","exit_status":-3,"helper":"omvi-agent-runner",)"
       R"("message":"e","ok":false,"path":"p","pid":)" +
           pid + R"(,"stderr":"r","stdout":"o","written_bytes":9007199254740993})"},
      {success({.path = "/tmp/a", .affectedPaths = std::vector<std::string>{}, .stdoutText = ""}),
       R"({"affected_paths":[],"helper":"omvi-agent-runner","ok":true,"path":"\/tmp\/a","pid":)" +
           pid + R"(,"stdout":""})"},
      {success({.message = controls}),
       R"({"helper":"omvi-agent-runner","message":"q\"b\\n\n\t\r\b\f\u0001\u001f)"
       "\x7f\\u0000é😀\",\"ok\":true,\"pid\":" +
           pid + "}"},
      {success({.stdoutText = "\xff"}),
       R"({"ok":false,"error":"encode_failed","helper":"omvi-agent-runner"})"},
  };
  for (const auto& [response, text] : cases)
    EXPECT_EQ(encodeToString(response), text);
}

}  // namespace
}  // namespace OmviAgentRunnerMain
