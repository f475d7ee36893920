// The git operations against real repositories, their effects checked with git itself; and
// apply_diff, whose temporary copy of the diff never outlives the operation. (Their exact git
// command lines are tests/e2e/operation_table_test.cc's.)
#include "tests/support/repository.h"

namespace omvi_test {
namespace {

using Paths = std::vector<std::string>;
using GitOperations = RepositoryTest;

TEST_F(GitOperations, StageUnstageCommitAndReport) {
  write("a.txt", "a\n");
  write("src/b.c", "b\n");
  Response r = send("git_stage", R"(,"paths":["a.txt",)" + quote(root() + "/src/b.c") + "]");
  EXPECT_EQ(r.lists["affected_paths"], (Paths{"a.txt", "src/b.c"}));
  EXPECT_EQ(git("diff --cached --name-only"), "a.txt\nsrc/b.c\n");

  send("git_unstage", R"(,"path":"a.txt")");
  EXPECT_EQ(git("diff --cached --name-only"), "src/b.c\n");
  EXPECT_EQ(send("git_stage", R"(,"path":"missing.txt")").str("error"),
            "fatal: pathspec 'missing.txt' did not match any files\n");

  r = send("git_commit", R"(,"message":"\n add b  ")");
  EXPECT_FALSE(r.has("affected_paths"));
  EXPECT_EQ(git("log -1 --format=%s"), "add b\n");
  r = send("git_commit", R"(,"message":"again")");  // nothing staged: git explains on stdout
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.str("error"), "");
  EXPECT_NE(r.str("stdout").find("nothing added to commit"), std::string::npos);

  EXPECT_EQ(send("git_status").str("stdout"), "## main\n?? a.txt\n");
  EXPECT_EQ(send("git_log", R"(,"count":1)").str("stdout").substr(8), "add b\n");
}

TEST_F(GitOperations, UnstageBeforeTheFirstCommitKeepsTheFile) {
  TempDir fresh;
  makeRepository(fresh.path(), /*commit=*/false);
  sh("echo a > a.txt && git add a.txt", fresh.path());
  EXPECT_EQ(send("git_unstage", R"(,"paths":["a.txt"])", fresh.path()).str("stdout"),
            "rm 'a.txt'\n");
  EXPECT_EQ(sh("git status --porcelain", fresh.path()), "?? a.txt\n");
  const Response log = send("git_log", "", fresh.path());
  EXPECT_FALSE(log.ok());
  EXPECT_EQ(log.str("error"), log.str("stderr"));
  EXPECT_NE(log.str("error"), "");
}

TEST_F(GitOperations, RestoreBringsBackHead) {
  write("README.md", "changed\n");
  git("add README.md");
  write("README.md", "changed twice\n");
  Response r = send("git_restore", R"(,"path":"README.md","worktree":false)");
  EXPECT_EQ(git("status --porcelain"), " M README.md\n");
  r = send("git_restore", R"(,"paths":[""])");
  EXPECT_EQ(r.lists["affected_paths"], (Paths{"."}));
  EXPECT_EQ(git("status --porcelain"), "");
  write("new.txt", "untracked\n");
  r = send("git_restore", R"(,"paths":["new.txt"])");
  EXPECT_EQ(r.str("error"), "error: pathspec 'new.txt' did not match any file(s) known to git\n");
  EXPECT_EQ(r.integers["exit_status"], 1);
}

TEST_F(GitOperations, DiffFailsOnlyOnGitsErrorAndIsCapped) {
  write("README.md", "unstaged\n");
  EXPECT_NE(send("git_diff").str("stdout").find("+unstaged"), std::string::npos);
  const Response bad = send("git_diff", R"(,"scope":"branch","base_branch":"nope")");
  EXPECT_EQ(bad.integers.at("exit_status"), 128);
  EXPECT_EQ(bad.str("error"), bad.str("stderr"));

  // 13000 four-byte characters: under the runner's cap, over 48000 bytes.
  const std::string wide = repeat("\U0001F600", 13000);
  write("wide.txt", wide + "\n");
  git("add wide.txt");
  const std::string text = send("git_diff", R"(,"scope":"staged")").str("stdout");
  EXPECT_TRUE(text.ends_with(wide + "\n\n\u2026(diff truncated)")) << text.size();
}

TEST_F(GitOperations, PushToABareRemote) {
  TempDir remote;
  sh("git init -q --bare .", remote.path());
  git("remote add origin " + remote.path() + " && git remote add gone /nonexistent/remote.git");
  Response r = send("git_push", R"(,"branch":"main")");
  EXPECT_EQ(r.str("message"), "Push succeeded");
  EXPECT_EQ(sh("git rev-parse main", remote.path()), git("rev-parse main"));
  EXPECT_EQ(run({"git", "-C", root(), "rev-parse", "main@{upstream}"}).status, 128);

  git("checkout -q -b feature/x");
  EXPECT_TRUE(send("git_push", R"(,"set_upstream":true)").ok());
  EXPECT_EQ(git("rev-parse --abbrev-ref @{upstream}"), "origin/feature/x\n");

  git("checkout -q --detach");
  r = send("git_push", R"(,"set_upstream":true)");
  EXPECT_EQ(r.str("error"), r.str("stderr"));
  EXPECT_TRUE(r.str("error").starts_with("error: The destination you provided")) << r.str("error");

  r = send("git_push", R"(,"remote":"gone","branch":"main")");
  EXPECT_FALSE(r.ok());
  EXPECT_NE(r.str("error").find("/nonexistent/remote.git"), std::string::npos) << r.str("error");
}

class ApplyDiff : public RepositoryTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(sh("ls -a | grep '^\\.omvi-agent-runner-' || true", root()), "");
  }

  Response apply(const std::string& diff, const std::string& more = "") {
    return send("apply_diff", ",\"diff\":" + quote(diff) + more);
  }
};

constexpr const char* kChangeAndAdd =
    "--- a/README.md\n+++ b/README.md\n@@ -1 +1 @@\n-hello\n+hello, agent\n"
    "--- /dev/null\n+++ b/docs/new.txt\n@@ -0,0 +1 @@\n+new";  // no final line feed

TEST_F(ApplyDiff, ChecksThenApplies) {
  Response r = apply(kChangeAndAdd, R"(,"dry_run":true)");
  EXPECT_EQ(r.str("message"), "Diff is valid");
  EXPECT_EQ(r.lists["affected_paths"], (Paths{"README.md", "docs/new.txt"}));
  EXPECT_EQ(git("status --porcelain"), "");

  r = apply(kChangeAndAdd);
  EXPECT_EQ(r.str("message"), "Diff applied");
  EXPECT_EQ(r.integers["exit_status"], 0);
  EXPECT_EQ(git("status --porcelain"), " M README.md\n?? docs/\n");
  EXPECT_EQ(sh("cat README.md docs/new.txt", root()), "hello, agent\nnew\n");

  r = apply("--- a/docs/new.txt\n+++ /dev/null\n@@ -1 +0,0 @@\n-new\n");
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.lists["affected_paths"], Paths{});
}

TEST_F(ApplyDiff, FailuresAnswerGitsComplaintOrTheCopysWrite) {
  Response r = apply("--- a/README.md\n+++ b/README.md\n@@ -1 +1 @@\n-absent\n+x\n");
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.str("error").starts_with("error: patch failed: README.md:1")) << r.str("error");
  EXPECT_NE(r.str("error").back(), '\n');  // trimmed, unlike stderr
  EXPECT_EQ(r.str("error") + "\n", r.str("stderr"));
  EXPECT_EQ(r.integers["exit_status"], 1);
  EXPECT_EQ(r.lists["affected_paths"], (Paths{"README.md"}));

  // No room for the diff's copy (a file size limit of nothing; the runner's answer goes to a
  // pipe, which the limit spares): the write's own failure, and nothing is left behind.
  const std::string request = "{\"op\":\"apply_diff\",\"workspace_root\":" + quote(root()) +
                              ",\"diff\":" + quote(kChangeAndAdd) + "}";
  const Completed full =
      run({"sh", "-c", "trap '' XFSZ; (ulimit -f 0; exec \"$0\" --json \"$1\") | cat",
           runnerBinary(), request});
  const std::string error = parse(full.out).str("error");
  EXPECT_TRUE(error.starts_with("diff_temp_write_failed: " + root() + "/.omvi-agent-runner-") &&
              error.ends_with(".diff: File too large"))
      << error;
  EXPECT_EQ(git("status --porcelain"), "");
}

TEST_F(ApplyDiff, PathsOutsideTheRootAreRefusedBeforeAnythingIsWritten) {
  for (const std::string& hostile : {std::string("../x"), std::string("/tmp/omvi-hostile")}) {
    Response r = apply("--- /dev/null\n+++ b/inside.txt\n@@ -0,0 +1 @@\n+a\n--- /dev/null\n+++ b/" +
                       hostile + "\n@@ -0,0 +1 @@\n+b\n");
    EXPECT_EQ(r.str("error"), "path_outside_workspace");
    EXPECT_EQ(r.lists["affected_paths"], (Paths{hostile, "inside.txt"}));
    EXPECT_EQ(git("status --porcelain"), "");
  }
}

}  // namespace
}  // namespace omvi_test
