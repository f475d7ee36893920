#include "runner/dispatch.h"

#include <gtest/gtest.h>

#include "runner/entry.h"

namespace OmviAgentRunnerMain {
namespace {

TEST(Handle, NormalisesOpButReportsItAsSent) {
  const std::pair<std::string, RunnerResponse> cases[] = {
      {"PING", pingResponse()},
      {" \u00a0Ping\n", pingResponse()},
      {"", failure("unknown op ''")},
      {"Frobnicate ", failure("unknown op 'Frobnicate '")},
      {"git status", failure("unknown op 'git status'")},
      {"write-file", failure("unknown op 'write-file'")},
  };
  for (const auto& [op, response] : cases) {
    RunnerRequest request;
    request.op = op;
    EXPECT_EQ(handle(request), response) << op;
  }
}

// The switch alone, and --xpc that is not it, are the cli table's rows.
TEST(ServiceSelection, ArgumentOrServiceName) {
  const std::vector<std::string> plain{"runner"};
  EXPECT_TRUE(isLaunchdXPCServiceInvocation(
      std::vector<std::string>{"runner", "--json", "{}", "--xpc-service"}, std::nullopt));
  const std::pair<std::optional<std::string>, bool> cases[] = {
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
  for (const auto& [name, service] : cases)
    EXPECT_EQ(isLaunchdXPCServiceInvocation(plain, name), service) << name.value_or("<unset>");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
