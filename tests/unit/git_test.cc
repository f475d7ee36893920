// The git operations' pure rules: the diff cap, failure texts, the diff exit rule, the log count.
#include <gtest/gtest.h>

#include "runner/git/diff.h"
#include "runner/git/git_answer.h"
#include "runner/git/reports.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using omvi_test::repeat;

TEST(DiffCap, CutsInCharactersOnlyPastTheByteCap) {
  const std::string marker = "\n\u2026(diff truncated)";
  EXPECT_EQ(marker.size(), 20u);
  const struct {
    std::string text, capped;
  } cases[] = {
      {repeat("a", 48000), repeat("a", 48000)},
      {repeat("a", 48001), repeat("a", 48000) + marker},
      {repeat("\U0001F600", 12000), repeat("\U0001F600", 12000)},
      {repeat("e\u0301", 16001), repeat("e\u0301", 16001) + marker},  // clusters, not bytes
      // One letter and 2.5 million combining marks is one cluster: cut by code point so that
      // text and marker stay within the runner's 1 MiB.
      {std::string("a") + repeat("\u0301", 2500000),
       repeat("a", 1) + repeat("\u0301", 524277) + marker},
  };
  for (const auto& c : cases)
    EXPECT_EQ(capDiffText(c.text), c.capped) << c.text.size();
}

TEST(GitRun, FailureTextAndTheDiffExitRule) {
  const RunnerResponse silent = failure("exit_1", {.stdoutText = "out", .exitStatus = 1});
  const RunnerResponse spawn = failure("spawn_failed: nope");
  const RunnerResponse empty = failure("exit_128", {.stderrText = "", .exitStatus = 128});
  const FailureTextRule never{StdoutFallback::kNever, "last"};
  const FailureTextRule after{StdoutFallback::kAfterStderr, "last"};
  EXPECT_EQ(failureText(empty, after), "");
  EXPECT_EQ(failureText(silent, never), "exit_1");
  EXPECT_EQ(failureText(silent, after), "out");
  EXPECT_EQ(failureText(spawn, after), "spawn_failed: nope");
  EXPECT_EQ(failureText(RunnerResponse{}, never), "last");
  EXPECT_FALSE(diffRunFailed(silent));
  EXPECT_FALSE(diffRunFailed(spawn));
  EXPECT_TRUE(diffRunFailed(empty));
  EXPECT_FALSE(diffRunFailed(success({.exitStatus = 0})));
  EXPECT_EQ(logCount(INT64_MIN), 1);  // the other counts: the git_log rows end to end
}

}  // namespace
}  // namespace OmviAgentRunnerMain
