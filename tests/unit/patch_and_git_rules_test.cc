// The pure rules behind apply_diff and the git operations.
#include <gtest/gtest.h>

#include "runner/files/patch.h"
#include "runner/git/diff.h"
#include "runner/git/git_answer.h"
#include "runner/git/push.h"
#include "runner/git/reports.h"
#include "runner/process/time_limit.h"

namespace OmviAgentRunnerMain {
namespace {

using Paths = std::vector<std::string>;

TEST(DiffPaths, NewFileLinesSortedAndUnique) {
  const struct {
    std::string diff;
    Paths paths;
  } cases[] = {
      {"--- a/src/a.c\n+++ b/src/a.c\n@@ -1 +1 @@\n-x\n+y\n--- /dev/null\n+++ b/new.txt\n",
       {"new.txt", "src/a.c"}},
      {"+++ b/lib/x.c\n+++ b/README\n+++ b/lib/x.c\n+++ b/a\n", {"README", "a", "lib/x.c"}},
      {"--- a/gone.txt\n+++ /dev/null\n", {}},
      {"+++ plain\t2024-01-01 10:00\n", {"plain\t2024-01-01 10:00"}},
      {"@@ -0,0 +1 @@\n+++ an added line\n", {"an added line"}},
      {"--- a/x\r\n+++ b/x\r\n", {}},  // one line, and it begins with "---"
      {"+++ b/x\r\n+++ b/y\n+++ b/z", {"x\r\n+++ b/y", "z"}},
      // Sorted after composition (é after f), canonically equal paths counted once.
      {"+++ b/e\u0301\n+++ b/f\n+++ b/\u00e9\n", {"f", "e\u0301"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(diffPaths(c.diff), c.paths) << c.diff;
}

TEST(DiffCap, CutsInCharactersOnlyPastTheByteCap) {
  auto repeat = [](const std::string& unit, int times) {
    std::string text;
    for (int i = 0; i < times; ++i)
      text += unit;
    return text;
  };
  const std::string marker = "\n\u2026(diff truncated)";
  EXPECT_EQ(marker.size(), 20u);
  const struct {
    std::string text, capped;
  } cases[] = {
      {repeat("a", 48000), repeat("a", 48000)},
      {repeat("a", 48001), repeat("a", 48000) + marker},
      {repeat("\U0001F600", 12000), repeat("\U0001F600", 12000)},
      {repeat("\U0001F600", 13000), repeat("\U0001F600", 13000) + marker},
      {repeat("e\u0301", 16001), repeat("e\u0301", 16001) + marker},  // clusters, not bytes
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
}

TEST(TimeLimits, DefaultsFloorsAndTheLogCount) {
  EXPECT_EQ(timeLimit(std::nullopt, kGitTimeLimit), 30);
  EXPECT_EQ(timeLimit(0.5, kGitTimeLimit), 5);
  EXPECT_EQ(timeLimit(120, kGitTimeLimit), 120);
  const struct {
    std::optional<double> timeout;
    double push, fetch;
  } pushes[] = {{std::nullopt, 60, 30}, {5, 15, 15}, {20, 20, 20}, {100, 100, 30}};
  for (const auto& c : pushes) {
    EXPECT_EQ(pushLimits(c.timeout).push, c.push);
    EXPECT_EQ(pushLimits(c.timeout).fetch, c.fetch);
  }
  EXPECT_EQ(logCount(INT64_MIN), 1);
  EXPECT_EQ(logCount(37), 37);
}

}  // namespace
}  // namespace OmviAgentRunnerMain
