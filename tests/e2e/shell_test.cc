// The shell operation through the real binary: zsh, the working directory, time limits. (Caps
// and floods are the process runner's unit tests: the shell hands its child to the same run.)
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

Response shell(const std::string& fields, int status, const std::string& directory = "") {
  const Completed done =
      run({runnerBinary(), "--json", R"({"op":"shell")" + fields + "}"}, "", {}, directory);
  EXPECT_EQ(done.status, status) << done.out;
  EXPECT_EQ(done.err, "");
  return parse(done.out);
}

TEST(Shell, RunsTheTrimmedCommandWithZshInTheWorkspaceOrTheRunnersDirectory) {
  const TempDir dir;
  const Response r =
      shell(R"(,"workspace_root":)" + quote(dir.path()) +
                R"(,"command":"\n  print -r -- $ZSH_NAME; pwd;\n echo '  inner  '  \t")",
            0);
  EXPECT_EQ(r.str("stdout"), "zsh\n" + dir.path() + "\n  inner  \n");
  EXPECT_EQ(r.str("stderr"), "");
  EXPECT_EQ(r.integers.at("exit_status"), 0);
  EXPECT_EQ(r.keys,
            (std::vector<std::string>{"exit_status", "helper", "ok", "pid", "stderr", "stdout"}));
  // Without a root, in the runner's own directory.
  EXPECT_EQ(shell(R"(,"command":"pwd")", 0, dir.path()).str("stdout"), dir.path() + "\n");
}

TEST(Shell, FailuresKeepTheCommandsOutput) {
  Response r = shell(R"(,"command":"echo partial; echo why >&2; exit 2")", 1);
  EXPECT_EQ(r.str("error"), "exit_2");
  EXPECT_EQ(r.str("message"), "exit_2");
  EXPECT_EQ(r.integers.at("exit_status"), 2);
  EXPECT_EQ(r.str("stdout"), "partial\n");
  EXPECT_EQ(r.str("stderr"), "why\n");

  for (const std::string blank : {"", R"(,"command":" \n\t ")", R"(,"command":null)"}) {
    r = shell(blank, 1);
    EXPECT_EQ(r.str("error"), "command is required") << blank;
    EXPECT_FALSE(r.has("exit_status"));
  }

  r = shell(R"(,"workspace_root":"/no/such/dir","command":"true")", 1);
  EXPECT_EQ(r.str("error").rfind("spawn_failed: ", 0), 0U) << r.str("error");
  EXPECT_FALSE(r.has("stdout"));
}

TEST(Shell, TheTimeLimitEndsInTermThenKill) {
  // 0.2 s is raised to the shell's floor of 1 s; the termination request ends the sleep.
  Response r = shell(R"(,"command":"sleep 30","timeout":0.2)", 1);
  EXPECT_EQ(r.str("error"), "exit_15");
  EXPECT_EQ(r.integers.at("exit_status"), 15);

  // A command that ignores the request is killed after the grace period.
  r = shell(R"(,"command":"trap '' TERM; echo stubborn; sleep 30; sleep 30","timeout":0)", 1);
  EXPECT_EQ(r.str("error"), "exit_9");
  EXPECT_EQ(r.str("stdout"), "stubborn\n");
}

}  // namespace
}  // namespace omvi_test
