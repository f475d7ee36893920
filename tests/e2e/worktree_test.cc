#include <gtest/gtest.h>

#include "runner/guard/workspace.h"
#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

using OmviAgentRunnerMain::fileExists;
using Paths = std::vector<std::string>;

// A primary checkout "ws" on main beside a directory "outside" that must never change.
class TaskWorktrees : public ::testing::Test {
 protected:
  void SetUp() override {
    sh("mkdir ws outside && echo keep > outside/marker", top.path());
    makeRepository(ws);
  }
  Response call(const std::string& op, const std::string& fields,
                const std::map<std::string, std::string>& environment = {}) {
    return send(op, ws, "," + fields, environment);
  }
  Response add(const std::string& task, const std::string& branch) {
    return call("git_worktree_add",
                R"("worktree_path":".omvi/worktrees/)" + task + R"(","branch":)" + quote(branch));
  }
  Response deliver(const std::string& task, const std::string& more = "") {
    return call("git_deliver", R"("worktree_path":".omvi/worktrees/)" + task +
                                   R"(","branch":"task-)" + task + "\"" + more);
  }
  void write(const std::string& task, const std::string& file, const std::string& content) {
    EXPECT_TRUE(call("write_file", R"("path":)" + quote(wt(task) + "/" + file) + R"(,"content":)" +
                                       quote(content))
                    .ok());
  }
  std::string git(const std::string& command) { return sh("git " + command, ws); }
  std::string wt(const std::string& task) { return ws + "/.omvi/worktrees/" + task; }

  TempDir top;
  std::string ws = top / "ws";
};

TEST_F(TaskWorktrees, TwoTasksAreDeliveredOneAfterTheOther) {
  const std::string start = git("rev-parse HEAD");
  const Response created = add("1", "task-1");
  EXPECT_EQ(created.str("message"), "Created worktree on new branch task-1");
  EXPECT_EQ(created.lists.at("affected_paths"), Paths{wt("1")});
  EXPECT_TRUE(add("2", "task-2").ok());
  write("1", "one.txt", "one\n");
  write("2", "two.txt", "two\n");

  const Response first = deliver("1", R"(,"prune":true)");
  EXPECT_EQ(first.str("message"), "Merged task-1 into main \u00B7 worktree pruned");
  EXPECT_EQ(first.lists.at("affected_paths"), (Paths{ws, wt("1")}));
  EXPECT_EQ(git("rev-parse main^@"), start + git("rev-parse task-1"));
  EXPECT_EQ(git("log -1 --format=%s"), "omvi: deliver task-1\n");
  EXPECT_EQ(git("log -1 --format=%s task-1"), "omvi: agent task changes\n");
  EXPECT_FALSE(fileExists(wt("1")));

  EXPECT_EQ(deliver("2", R"(,"message":" Add two\n")").str("message"), "Merged task-2 into main");
  EXPECT_EQ(git("log -1 --format=%s main") + git("log -1 --format=%s task-2"),
            "Add two\nAdd two\n");
  EXPECT_EQ(sh("cat one.txt two.txt", ws), "one\ntwo\n");
  EXPECT_TRUE(fileExists(wt("2")));
  EXPECT_EQ(git("branch --format='%(refname:short)'"), "main\ntask-1\ntask-2\n");
}

TEST_F(TaskWorktrees, ExistingBranchIsAttachedAndExistingCheckoutReused) {
  git("branch task-1");
  EXPECT_EQ(add("1", "task-1").str("message"), "Attached worktree to existing branch task-1");
  EXPECT_EQ(sh("git rev-parse --abbrev-ref HEAD", wt("1")), "task-1\n");
  const Response reused = add("1", "other");
  EXPECT_EQ(reused.str("message"), "Using existing worktree on other");
  EXPECT_FALSE(reused.has("stdout") || reused.has("stderr"));
  EXPECT_EQ(git("branch --list other"), "");
}

TEST_F(TaskWorktrees, BranchCheckedOutElsewhereIsRefusedInTheCreatingRunsWords) {
  ASSERT_TRUE(add("1", "task-1").ok());
  const Response refused = add("2", "task-1");
  EXPECT_NE(refused.str("error").find("a branch named 'task-1' already exists"), std::string::npos);
  EXPECT_NE(refused.str("stderr").find("already checked out"), std::string::npos);
  EXPECT_EQ(refused.integers.at("exit_status"), 128);
  EXPECT_EQ(refused.lists.at("affected_paths"), Paths{wt("2")});
}

TEST_F(TaskWorktrees, ConflictLeavesPrimaryMergingAndKeepsTheWorktree) {
  ASSERT_TRUE(add("1", "task-1").ok());
  write("1", "README.md", "task\n");
  sh("echo primary > README.md && git commit -qam primary", ws);
  const Response merge = deliver("1", R"(,"prune":true)");
  const std::string out = merge.str("stdout");
  EXPECT_EQ(merge.str("error"), "Merge into primary failed: " + out.substr(0, out.size() - 1));
  EXPECT_EQ(merge.integers.at("exit_status"), 1);
  EXPECT_EQ(merge.lists.at("affected_paths"), (Paths{ws, wt("1")}));
  git("rev-parse -q --verify MERGE_HEAD");
  EXPECT_TRUE(fileExists(wt("1") + "/README.md"));
}

TEST_F(TaskWorktrees, NothingToDeliverThenAFastForward) {
  ASSERT_TRUE(add("1", "task-1").ok());
  const Response nothing = deliver("1");
  EXPECT_EQ(nothing.str("message"),
            "Nothing to deliver \u2014 worktree has no commits ahead of main");
  EXPECT_EQ(nothing.lists.at("affected_paths"), (Paths{ws, wt("1")}));
  write("1", "a.txt", "a\n");
  EXPECT_TRUE(deliver("1", R"(,"no_ff":false)").ok());
  EXPECT_EQ(git("rev-parse main^@"), git("rev-parse main~1"));
  EXPECT_EQ(git("rev-parse main"), git("rev-parse task-1"));
}

TEST_F(TaskWorktrees, RemovalReportsEveryPathAndPrunesOnceAfterAFailure) {
  ASSERT_TRUE(add("b", "task-b").ok());
  ASSERT_TRUE(add("locked", "task-locked").ok());
  ASSERT_TRUE(add("stale", "task-stale").ok());
  sh("rm -rf .omvi/worktrees/stale && mkdir .omvi/worktrees/plain && "
     "git worktree lock .omvi/worktrees/locked",
     ws);
  const std::string trace = top / "trace";
  const Response removal =
      call("git_worktree_remove",
           R"("paths":[".omvi/worktrees/plain",".omvi/worktrees/locked",".omvi/worktrees/b"])",
           {{"GIT_TRACE", trace}});
  const std::string error = removal.str("error");
  EXPECT_TRUE(
      error.starts_with("failed .omvi/worktrees/plain: worktree_not_linked; failed "
                        ".omvi/worktrees/locked: fatal: "))
      << error;
  EXPECT_TRUE(error.ends_with("\n; removed .omvi/worktrees/b")) << error;
  EXPECT_EQ(removal.lists.at("affected_paths"), (Paths{wt("plain"), wt("locked"), wt("b")}));
  EXPECT_EQ(sh("grep -c 'git worktree prune' " + trace), "1\n");
  EXPECT_EQ(git("worktree list").find("stale"), std::string::npos);
  EXPECT_TRUE(fileExists(wt("plain")) && fileExists(wt("locked")) && !fileExists(wt("b")));

  const Response gone =
      call("git_worktree_remove", R"("paths":[],"worktree_path":" .omvi/worktrees/b")");
  EXPECT_EQ(gone.str("message"), "removed .omvi/worktrees/b");
  EXPECT_EQ(gone.integers.at("exit_status"), 0);
}

// Delivery's own refusals: a task checkout that is gone, or that no repository holds (the
// primary's ".git" names nowhere, so git finds none); and a prune that fails after the merge
// (a locked worktree) is a note on the success, the worktree kept.
TEST_F(TaskWorktrees, DeliveryRefusesAMissingOrForeignCheckoutAndNotesAFailedPrune) {
  EXPECT_EQ(deliver("none").str("error"), "worktree_missing");
  sh("mkdir -p broken/.omvi/worktrees/t && echo 'gitdir: /nowhere' > broken/.git", top.path());
  EXPECT_EQ(
      send("git_deliver", top / "broken", R"(,"worktree_path":".omvi/worktrees/t","branch":"t")")
          .str("error"),
      "worktree is not a git checkout");

  ASSERT_TRUE(add("1", "task-1").ok());
  write("1", "one.txt", "one\n");
  git("worktree lock .omvi/worktrees/1");
  EXPECT_EQ(deliver("1", R"(,"prune":true)").str("message"),
            "Merged task-1 into main \u00B7 worktree prune skipped/failed");
  EXPECT_EQ(sh("cat one.txt", ws), "one\n");
  EXPECT_TRUE(fileExists(wt("1")));
}

// Each bad request gets its own failure and leaves everything, inside and outside, as it was.
// (Paths out of the workspace, for every worktree operation, are the hostile-path table's.)
TEST_F(TaskWorktrees, BadInputChangesNothing) {
  ASSERT_TRUE(add("t1", "task-1").ok());
  ASSERT_TRUE(add("lost", "task-lost").ok());
  // "outside" becomes a repository of its own, which a worktree's ".git" file names, "self"
  // names the primary's own git directory, and the worktree "lost" loses its ".git" (locked,
  // so that no prune forgets it): git would act on "outside" and on the primary.
  makeRepository(top / "outside");
  sh("ln -s ../outside escape && git worktree lock .omvi/worktrees/lost && "
     "rm .omvi/worktrees/lost/.git && echo x > .omvi/worktrees/lost/x "
     "&& "
     "mkdir .omvi/worktrees/foreign && echo x > .omvi/worktrees/foreign/x && "
     "echo \"gitdir: $PWD/../outside/.git\" > .omvi/worktrees/foreign/.git && "
     "mkdir .omvi/worktrees/self && echo \"gitdir: $PWD/.git\" > .omvi/worktrees/self/.git",
     ws);
  const auto state = [&] {
    return sh("find . -path ./ws/.git -prune -o -print | sort", top.path()) +
           sh("git log --all --format=%H && git status --porcelain", top / "outside") +
           git("branch --format='%(refname) %(objectname)'") + git("worktree list --porcelain");
  };
  const std::string before = state();
  const char *add = "git_worktree_add", *deliver = "git_deliver", *remove = "git_worktree_remove";
  const char *outside = "path_outside_workspace", *area = "worktree_not_in_isolation_area";
  const char* linked = "worktree_not_linked";
  struct Row {
    const char* op;
    const char* fields;
    const char* error;  ///< found in the failure text
  } rows[] = {
      {add, R"("worktree_path":".","branch":"b")", area},
      {add, R"("worktree_path":".omvi/worktrees-old/t","branch":"b")", area},
      {add, R"("worktree_path":".omvi/other","branch":"b")", area},
      {add, R"("worktree_path":".omvi/worktrees/t","branch":" \n","name":"b")", "invalid_branch"},
      {add, R"("worktree_path":".omvi/worktrees/t","branch":"x.lock")", "not a valid branch"},
      {deliver, R"("worktree_path":".","branch":"main")", area},
      {deliver, R"("worktree_path":".omvi/worktrees/t1","branch":"","name":"x")", "invalid_branch"},
      {deliver, R"("worktree_path":".omvi/worktrees/foreign","branch":"main")", linked},
      {deliver, R"("worktree_path":".omvi/worktrees/lost","branch":"task-lost")", linked},
      {deliver, R"("worktree_path":".omvi/worktrees/self","branch":"task-1")", linked},
      {remove, R"("paths":[".omvi/worktrees/t1","escape"])", outside},  // none removed
      {remove, R"("path":".omvi/worktrees/foreign")",
       "failed .omvi/worktrees/foreign: worktree_not_linked"},
      {remove, R"("path":".omvi/worktrees/lost")",
       "failed .omvi/worktrees/lost: worktree_not_linked"},
      {remove, R"("path":".")", "failed .: worktree_not_linked"},
  };
  for (const Row& row : rows) {
    const Response refused = call(row.op, row.fields);
    EXPECT_NE(refused.str("error").find(row.error), std::string::npos) << refused.str("error");
    EXPECT_EQ(state(), before) << row.op << " " << row.fields;
  }
}

}  // namespace
}  // namespace omvi_test
