// The sandbox's switches and the environment's allowlist.
#include "runner/sandbox/sandbox.h"

#include <gtest/gtest.h>

#include "runner/sandbox/confined_spawn.h"

namespace OmviAgentRunnerMain {
namespace {

TEST(SandboxSwitches, ReadsTheSwitchesAndTheEnvironmentsAllowlist) {
  const std::vector<std::string> arguments{
      "r", "--json", "--sandbox", "--sandbox=best-effort", "--no-network", "--writable",
      "w", "--env",  "NAME",      "--sandbox-status"};
  const SandboxSwitches read = parseSandboxSwitches(arguments, "0", "/here");
  EXPECT_EQ(read.settings, (SandboxSettings{true, true, true, {"/here/w"}, {"NAME"}}));
  EXPECT_TRUE(read.statusWanted);
  EXPECT_EQ(parseSandboxSwitches(std::vector<std::string>{"r"}, "1", "/").settings.enabled, true);
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"r", "--writable"}, {"r", "--env", ""}, {"r", "--env", "A=b"}}) {
    EXPECT_NE(parseSandboxSwitches(bad, nullptr, "/").error, "") << bad.back();
  }
  EXPECT_EQ(confinedEnvironment({"PATH=/b", "LC_ALL=C", "SECRET=x", "NAME=n", "TMPDIR=/t",
                                 "GIT_TERMINAL_PROMPT=1", "BROKEN"},
                                {"NAME", "GIT_TERMINAL_PROMPT"}, "/call", true),
            (std::vector<std::string>{"PATH=/b", "LC_ALL=C", "NAME=n", "TMPDIR=/call",
                                      "GIT_TERMINAL_PROMPT=0", "GIT_LITERAL_PATHSPECS=1"}));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
