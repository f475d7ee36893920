// The sandbox through the real binary: each row is one attempt made from inside a confined
// child, against a scene of a repository whose subdirectory is the workspace root, a sentinel
// tree outside it that must never change, and a directory granted with --writable.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

class Sandbox : public ::testing::Test {
 protected:
  void SetUp() override {
    const Completed status = runRunner({"--sandbox-status"});
    if (status.status != 0)
      GTEST_SKIP() << "the kernel cannot enforce the sandbox:\n" << status.out;
    sh("mkdir -p repo/sub/: outside extra", dir_.path());
    makeRepository(dir_ / "repo");
    sh("echo keep > outside/sentinel && "
       "ln -s ../../outside repo/sub/out && echo top > repo/x && echo sub > repo/sub/:/x && "
       "printf '#!/bin/sh\\nbasename $0 >> repo/sub/trace; echo x > outside/sentinel\\n' | "
       "sed \"s|repo/|$PWD/repo/|; s|outside/|$PWD/outside/|\" > hook.sh && chmod +x hook.sh",
       dir_.path());
  }

  // Sends |op| with |fields| to a runner started with --sandbox and |switches|; the root is the
  // repository's subdirectory unless |root| says otherwise.
  Response send(const std::string& op, const std::string& fields,
                std::vector<std::string> switches = {}, const std::string& root = "") {
    std::vector<std::string> arguments{"--sandbox"};
    for (const char* name : {"GIT_CONFIG_GLOBAL", "GIT_CONFIG_NOSYSTEM", "GIT_AUTHOR_NAME",
                             "GIT_AUTHOR_EMAIL", "GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL"}) {
      arguments.insert(arguments.end(), {"--env", name});
    }
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    const std::string request = R"({"op":")" + op + R"(","workspace_root":)" +
                                quote(root.empty() ? subdirectory() : root) + fields + "}";
    arguments.insert(arguments.end(), {"--json", request});
    const Completed done = runRunner(arguments, "", {{"OMVI_SECRET", "s3cret"}});
    EXPECT_EQ(done.err, "");
    return parse(done.out);
  }

  Response shell(const std::string& command, std::vector<std::string> switches = {}) {
    const std::string prelude = "OUT=" + (dir_ / "outside") + " EXTRA=" + (dir_ / "extra") + "; ";
    return send("shell", ",\"command\":" + quote(prelude + command), std::move(switches));
  }

  std::string subdirectory() const { return dir_ / "repo/sub"; }
  std::string sentinelTree() { return snapshot(dir_ / "outside"); }

  TempDir dir_;
};

TEST_F(Sandbox, WritesOutsideTheRootFailWithPermissionDenied) {
  const std::string before = sentinelTree();
  for (const std::string attempt : {
           "echo x > $OUT/sentinel",       // absolute
           "echo x > $OUT/new",            // a new file
           "echo x > out/sentinel",        // through a link inside the root
           "mv $OUT/sentinel moved",       // by rename, out of the tree
           "touch mine && mv mine $OUT/",  // by rename, into it
           "truncate -s 0 $OUT/sentinel",  // truncation
           "rm -f $OUT/sentinel",          // removal
           "mkdir $OUT/d",                 // a directory
       }) {
    const Response r = shell(attempt);
    EXPECT_FALSE(r.ok()) << attempt;
    EXPECT_NE((r.str("stderr") + r.str("stdout")).find("ermission denied"), std::string::npos)
        << attempt << ": " << r.str("stderr");
  }
  // A ".git" file of the agent's making does not make the place it names writable.
  sh("mkdir forged && echo \"gitdir: $PWD/outside\" > forged/.git", dir_.path());
  EXPECT_FALSE(
      send("shell", R"(,"command":"echo x > ../outside/sentinel")", {}, dir_ / "forged").ok());
  // A hook and an fsmonitor program named by the repository run confined, and only where git
  // may run them at all: the read-only reports run neither.
  sh("cp hook.sh repo/.git/hooks/pre-commit && git -C repo config core.fsmonitor " +
         quote(dir_ / "hook.sh") + " && echo y > repo/sub/f",
     dir_.path());
  EXPECT_TRUE(send("git_status", "").ok());
  EXPECT_EQ(sh("cat sub/trace 2>/dev/null || true", dir_ / "repo"), "");
  EXPECT_TRUE(send("git_stage", R"(,"paths":["f"])").ok());
  EXPECT_FALSE(send("git_commit", R"(,"message":"hooked")").ok());
  EXPECT_EQ(sh("sort -u sub/trace", dir_ / "repo"), "hook.sh\npre-commit\n");
  EXPECT_EQ(sentinelTree(), before);
}

TEST_F(Sandbox, WritesInsideTheRootTmpdirAndWritableDirectoriesWork) {
  const Response r = shell(
      "echo a > in && echo b > $TMPDIR/t && cat in $TMPDIR/t && echo c > $EXTRA/w && cat $EXTRA/w",
      {"--writable", dir_ / "extra"});
  EXPECT_TRUE(r.ok()) << r.str("stderr");
  EXPECT_EQ(r.str("stdout"), "a\nb\nc\n");
  // The temporary directory goes with the call, filled or not, its links never followed.
  const Response t = shell("mkdir -p $TMPDIR/d/e && touch $TMPDIR/d/e/f && ln -s " +
                           (dir_ / "extra") + " $TMPDIR/l && printf %s $TMPDIR");
  EXPECT_NE(t.str("stdout").find("omvi-call-"), std::string::npos);
  EXPECT_EQ(sh("test -e " + t.str("stdout") + " && echo left || true"), "");
  EXPECT_EQ(sh("cat " + (dir_ / "extra") + "/w"), "c\n");
}

TEST_F(Sandbox, GitWorksWithARootThatIsARepositorySubdirectory) {
  ASSERT_TRUE(send("write_file", R"(,"path":"new.txt","content":"n\n")").ok());
  EXPECT_TRUE(send("git_stage", R"(,"paths":["new.txt"])").ok());
  Response r = send("git_diff", R"(,"scope":"staged")");
  EXPECT_NE(r.str("stdout").find("new.txt"), std::string::npos) << r.str("error");
  r = send("git_commit", R"(,"message":"from the subdirectory")");
  EXPECT_TRUE(r.ok()) << r.str("error");
  r = send("git_worktree_add", R"(,"worktree_path":".omvi/worktrees/t1","branch":"t1")");
  ASSERT_TRUE(r.ok()) << r.str("error");
  sh("echo w > .omvi/worktrees/t1/sub/w.txt", subdirectory());
  r = send("git_deliver", R"(,"worktree_path":".omvi/worktrees/t1","branch":"t1","prune":true)");
  EXPECT_TRUE(r.ok()) << r.str("error");
  EXPECT_EQ(sh("git log --format=%s -1", subdirectory()), "omvi: deliver t1\n");
  // Pathspec magic is off: ":/x" names the file ":/x" of the root, not "x" at the top.
  EXPECT_TRUE(send("git_stage", R"(,"paths":[":/x"])").ok());
  EXPECT_EQ(sh("git diff --cached --name-only", dir_ / "repo"), "sub/:/x\n");
}

TEST_F(Sandbox, NoNetworkRefusesTcpAndUdpButKeepsUnixSockets) {
  const std::string attempts =
      "bash -c 'echo > /dev/tcp/127.0.0.1/9' 2>&1; bash -c 'echo > /dev/udp/127.0.0.1/9' 2>&1; "
      "zmodload zsh/net/socket && zsocket -l $TMPDIR/s && echo unix";
  EXPECT_EQ(shell(attempts, {"--no-network"}).str("stdout"),
            "bash: socket: Permission denied\nbash: line 1: /dev/tcp/127.0.0.1/9: Permission "
            "denied\nbash: socket: Permission denied\nbash: line 1: /dev/udp/127.0.0.1/9: "
            "Permission denied\nunix\n");
  // Without the switch the connection is merely refused.
  EXPECT_NE(shell(attempts).str("stdout").find("Connection refused"), std::string::npos);
}

TEST_F(Sandbox, NoProcessOfTheCallSurvivesIt) {
  for (const std::string fields : {
           R"(,"command":"sleep 100.1 &")", R"(,"command":"setsid sleep 100.2 &")",
           R"(,"command":"timeout 200 sleep 100.3 &")",  // a process group of its own
           R"(,"command":"(sleep 100.4 &); sleep 100.5","timeout":1)",  // ended by its time limit
       }) {
    send("shell", fields);
  }
  EXPECT_EQ(sh("pgrep -f 'sleep 100[.][1-5]' || true"), "");
}

TEST_F(Sandbox, TheEnvironmentIsAnAllowlistAndStandardInputIsDevNull) {
  EXPECT_EQ(shell("echo ${OMVI_SECRET-unset} ${HOME:+home}; readlink /proc/$$/fd/0").str("stdout"),
            "unset home\n/dev/null\n");
  EXPECT_EQ(shell("echo $OMVI_SECRET", {"--env", "OMVI_SECRET"}).str("stdout"), "s3cret\n");
}

}  // namespace
}  // namespace omvi_test
