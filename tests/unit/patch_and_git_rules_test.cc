// The pure rules behind apply_diff and the git operations.
#include <gtest/gtest.h>

#include "runner/files/diff_headers.h"
#include "runner/files/patch.h"
#include "runner/git/diff.h"
#include "runner/git/git_answer.h"
#include "runner/git/push.h"
#include "runner/git/reports.h"
#include "runner/process/time_limit.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using omvi_test::repeat;

using Paths = std::vector<std::string>;

// Which lines name paths, carriage returns, sorting and repeats are the diffPaths fuzz
// target's properties; it leaves open which spelling of canonically equal paths is kept.
TEST(DiffPaths, CanonicallyEqualPathsKeepTheirFirstSpellingSortedAfterComposition) {
  EXPECT_EQ(diffPaths("+++ b/e\u0301\n+++ b/f\n+++ b/\u00e9\n"), (Paths{"f", "e\u0301"}));
}

// Each name a diff's headers give, as git apply reads them: "^" relative to the top level,
// "." to git's directory, "?" either; "!" when the diff cannot be read with certainty.
TEST(DiffHeaderNames, ReadAsGitApplyReadsThem) {
  const auto read = [](const std::string& diff, const std::string& prefix) {
    const HeaderNames found = diffHeaderNames(diff, prefix);
    std::string out = found.confident ? "" : "!";
    for (const HeaderName& h : found.names) {
      if (!out.empty() && out != "!") out.push_back('|');
      out.push_back(h.base == NameBase::kTopLevel           ? '^'
                    : h.base == NameBase::kWorkingDirectory ? '.'
                                                            : '?');
      out.append(h.name);
    }
    return out;
  };
  const std::string hunk = "@@ -1 +1 @@\n-a\n+b\n";
  std::string withNul = "--- a/x\n+++ b/x\n" + hunk;
  withNul[14] = '\0';
  const struct {
    std::string diff, prefix, names;
  } rows[] = {
      {"diff --git a/private/s.txt b/agent/s.txt\nsimilarity index 100%\nrename from "
       "private/s.txt\nrename to agent/s.txt\n",
       "agent/", "^private/s.txt|^agent/s.txt|^private/s.txt|^agent/s.txt"},
      {"diff --git a/x b/y\ncopy from /etc/passwd\ncopy to y\n", "", "^x|^y|^/etc/passwd|^y"},
      {"diff --git a/a b/b\nrename old ../a\nrename new b\n", "", "^a|^b|^../a|^b"},
      {"diff --git a/x y/f b/x y/f\ndeleted file mode 100644\nindex 1..0\n", "", "^x y/f"},
      {"diff --git a/s.sh b/s.sh\nold mode 100644\nnew mode 100755\n", "", "^s.sh"},
      {"diff --git \"a/t\\303\\251st\" \"b/t\\303\\251st\"\nnew file mode 100644\n--- /dev/null\n"
       "+++ \"b/t\\303\\251st\"\n@@ -0,0 +1 @@\n+x\n",
       "", "^t\u00e9st|^t\u00e9st"},
      {"diff --git a/in b/in\n--- a/../out\t\n+++ b//in\n" + hunk, "", "^in|^../out|^/in"},
      {"diff --git a/x b/x\n--- /dev/null\n+++ b/x\n" + hunk, "", "^x|^dev/null|^x"},
      {"--- a/x\n+++ b/x\n@@ -1,2 +1,2 @@\n--- ../a\n+++ ../b\n-c\n+d\n", "", ".x|.x"},
      {"--- a/agent/x\n+++ b/agent/x\n" + hunk +
           "diff --git a/agent/y b/agent/y\nold mode "
           "100644\nnew mode 100755\n",
       "agent/", ".x|.x|^y"},
      {"--- a/x\t2020-01-01 10:00\n+++ /dev/null\n" + hunk, "", ".x|.x|.x\t2020-01-01"},
      {"diff --git a/x b/x\ngarbage\n--- a/y\n+++ b/y\n" + hunk, "", "^x|?y|?y"},
      {"diff --git a/b b/b\nindex 1..2\nGIT binary patch\nliteral 2\nIcmZp0\n\nliteral 0\nHcmV?d1\n"
       "\ndiff --git a/../z b/../z\nold mode 100644\nnew mode 100755\n",
       "", "^b|^../z"},
      {"diff --git a/x b/x\nrename from \"x\nrename to x\n", "", "!^x|^\"x|^x"},
      {withNul, "", "!"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(read(row.diff, row.prefix), row.names) << row.diff;
}

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
}

TEST(TimeLimits, DefaultsFloorsAndTheLowestLogCount) {
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
  EXPECT_EQ(logCount(INT64_MIN), 1);  // the other counts: the git_log rows end to end
}

}  // namespace
}  // namespace OmviAgentRunnerMain
