#include "runner/dispatch.h"

#include <gtest/gtest.h>

#include "runner/entry.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

RunnerRequest withOp(std::string op) {
  RunnerRequest request;
  request.op = std::move(op);
  return request;
}

TEST(Handle, NormalisesOpButReportsItAsSent) {
  EXPECT_EQ(handle(withOp("PING")), pingResponse());
  EXPECT_EQ(handle(withOp(" \u00a0Ping\n")), pingResponse());
  const struct {
    std::string op, error;
  } unknown[] = {
      {"", "unknown op ''"},
      {"Frobnicate ", "unknown op 'Frobnicate '"},
      {"git status", "unknown op 'git status'"},
      {"write-file", "unknown op 'write-file'"},
  };
  for (const auto& c : unknown)
    EXPECT_EQ(handle(withOp(c.op)), failure(c.error)) << c.op;
}

TEST(Handle, PingNeedsNothingElse) {
  RunnerRequest request = withOp("ping");
  request.workspaceRoot = "/does/not/matter";
  request.count = -1;
  EXPECT_EQ(handle(request), success({.stdoutText = "pong"}));
}

TEST(Handle, TableNamesAreNormalisedAndUnique) {
  const auto table = operationTable();
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name, lowercased(table[i].name));
    for (std::size_t j = i + 1; j < table.size(); ++j)
      EXPECT_NE(table[i].name, table[j].name);
  }
  EXPECT_EQ(table.front().name, "ping");
}

TEST(ServiceSelection, ArgumentOrServiceName) {
  const std::vector<std::string> plain{"runner"};
  const std::vector<std::string> flagged{"runner", "--json", "{}", "--xpc-service"};
  EXPECT_TRUE(isLaunchdXPCServiceInvocation(flagged, std::nullopt));
  EXPECT_FALSE(
      isLaunchdXPCServiceInvocation({std::vector<std::string>{"runner", "--xpc"}}, std::nullopt));
  const struct {
    std::optional<std::string> name;
    bool service;
  } cases[] = {
      {std::nullopt, false},
      {"", false},
      {" \t\n", false},
      {"0", false},
      {" 0 ", false},
      {"io.omvi.omvi-agent-runner", true},
      {"io.omvi.omvi-agent-runner\n", true},
      {"com.example.omvi-agent-runner", true},
      {"prefix.io.omvi.omvi-agent-runner.suffix", true},
      {"omvi-agent-runner-other", false},
      {"io.omvi.OMVI-AGENT-RUNNER", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isLaunchdXPCServiceInvocation(plain, c.name), c.service)
        << c.name.value_or("<unset>");
  }
}

TEST(HandleJSONText, AnswersEveryTextWithOneResponse) {
  EXPECT_EQ(handleJSONText(R"({"op":"ping"})"), encodeToString(pingResponse()));
  EXPECT_EQ(handleJSONText("\xed\xa0\x80"), encodeToString(failure("invalid_utf8_request")));
  EXPECT_EQ(handleJSONText("nope"),
            encodeToString(failure(
                "invalid JSON request: the request holds a misspelled true, false or null")));
  EXPECT_EQ(handleJSONText("[1,2]"),
            encodeToString(failure("invalid JSON request: the request must be a JSON object")));
  EXPECT_EQ(handleJSONText(R"({"op":"nope"})"), encodeToString(failure("unknown op 'nope'")));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
