// Each operation's answer and exact git command lines, one row per rule. The command lines are
// recorded by a git that stands in for /usr/bin/git (bind-mounted in a private mount namespace)
// and passes every call on to the real one; where no such namespace can be made, the answers
// are still checked.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/repository.h"

namespace omvi_test {
namespace {

using Calls = std::vector<std::vector<std::string>>;

class OperationTable : public RepositoryTest {
 protected:
  void SetUp() override {
    RepositoryTest::SetUp();
    recording_ =
        access("/usr/bin/git", X_OK) == 0 &&
        run({"unshare", "-rm", "mount", "--bind", "/bin/true", "/usr/bin/git"}).status == 0;
    std::string realGit = sh("git --exec-path");
    realGit.pop_back();
    std::ofstream(fake_ / "git")
        << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\037' \"$a\"; done >> '" << log()
        << "'; echo >> '" << log() << "'\n"
        << "[ \"$1\" = restore ] && [ -e '" << (fake_ / "fail-restore")
        << "' ] && { echo \"git: 'restore' is not a git command.\" >&2; "
        << "exit 1; }\nexec '" << realGit << "/git' \"$@\"\n";
    sh("chmod +x git", fake_.path());
  }

  std::string log() const { return fake_ / "calls"; }

  // Sends the request through the recording git; the calls it saw, when it could record them.
  std::optional<Calls> callsFor(const std::string& request, Response& response) {
    std::remove(log().c_str());
    const Completed done =
        recording_ ? run({"unshare", "-rm", "sh", "-c",
                          "mount --bind \"$1\" /usr/bin/git && exec \"$2\" --json \"$3\"", "sh",
                          fake_ / "git", runnerBinary(), request})
                   : runRequest(request);
    response = parse(done.out);
    EXPECT_EQ(done.status, response.ok() ? 0 : 1) << done.out;
    if (!recording_) return std::nullopt;
    Calls calls;
    std::ifstream in(log());
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      calls.emplace_back();
      for (std::string arg; std::getline(fields, arg, '\037');)
        calls.back().push_back(arg);
    }
    return calls;
  }

  TempDir fake_;
  bool recording_ = false;
};

TEST_F(OperationTable, AnswersAndCommandLines) {
  write("a.txt", "a\n");
  write("src/b.c", "b\n");
  write(".omvi/worktrees/plain/x", "x\n");
  write(".omvi/worktrees/self/.git", "gitdir: " + root() + "/.git\n");
  TempDir plain;
  enum Where { kRepository, kNoRoot, kNoRepository };
  struct Case {
    std::string op, fields;
    std::string text;  ///< the answer's `message`; for a failure, how its `error` begins
    Calls calls;
    Where where = kRepository;
  };
  const std::vector<std::string> fetch{"fetch", "--prune", "origin"};
  const std::vector<std::string> identity{"rev-parse", "--path-format=absolute", "--show-toplevel",
                                          "--git-common-dir", "--git-dir"};
  // clang-format off
  const Case cases[] = {
      {"git_status", "", "workspace_root is required", {}, kNoRoot},
      {"git_diff", "", "No git repository found", {{"rev-parse", "--show-toplevel"}},
       kNoRepository},
      {"apply_diff", R"(,"diff":" \n")", "diff is required", {}, kNoRepository},
      {"apply_diff", R"(,"diff":"x")", "workspace_root is required", {}, kNoRoot},
      {"git_stage", R"(,"paths":[],"path":"a.txt")", "paths are required", {}},
      {"git_restore", "", "paths are required", {}},
      {"git_stage", R"(,"paths":["README.md","../x"])", "path_outside_workspace", {}},
      {"git_commit", R"(,"message":" \n ")", "commit message is required", {}},
      {"git_branch_create", R"(,"name":"","branch":"ok")", "invalid_branch", {}},
      {"git_diff", R"(,"path":"../x")", "path_outside_workspace", {}},
      {"git_diff", R"(,"scope":"branch","base_branch":"-x","path":"../x")", "invalid_base_branch",
       {}},
      {"git_push", R"(,"remote":"-x")", "invalid_remote", {}},
      {"git_push", R"(,"branch":"a..b")", "invalid_branch", {fetch}},
      {"git_stage", R"(,"paths":["a.txt",)" + quote(root() + "/src/b.c") + R"(,"src/"," "])",
       "Staged 4 path(s)", {{"add", "--", "a.txt", "src/b.c", "src", "."}}},
      {"git_unstage", R"(,"path":"a.txt")", "Unstaged 1 path(s)",
       {{"rev-parse", "--verify", "HEAD"}, {"restore", "--staged", "--", "a.txt"}}},
      {"git_commit", R"(,"message":"\n-n looks like an option  ")", "Commit created",
       {{"commit", "-m", "-n looks like an option"}}},
      {"git_push", "", "fatal: No configured push destination.", {fetch, {"push"}}},
      {"git_push", R"(,"remote":"  up\n","name":"feature/x")", "error: src refspec feature/x does",
       {{"fetch", "--prune", "up"}, {"push", "up", "feature/x"}}},
      {"git_push", R"(,"branch":"b","name":"x","set_upstream":true)", "error: src refspec b does",
       {fetch, {"push", "-u", "origin", "b"}}},
      {"git_push", R"(,"set_upstream":true)", "fatal: 'origin' does not appear to be a git",
       {fetch, {"rev-parse", "--abbrev-ref", "HEAD"}, {"push", "-u", "origin", "main"}}},
      {"git_branch_create", R"(,"name":" feature/x\n","branch":"other")",
       "Created and switched to branch feature/x", {{"checkout", "-b", "feature/x"}}},
      {"git_branch_switch", R"(,"branch":"main")", "Switched to branch main",
       {{"checkout", "main"}}},
      {"git_restore", R"(,"paths":["README.md"])", "Restored 1 path(s) from HEAD",
       {{"restore", "--source=HEAD", "--staged", "--worktree", "--", "README.md"}}},
      {"git_restore", R"(,"path":"README.md","worktree":false)", "Restored 1 path(s) from HEAD",
       {{"restore", "--source=HEAD", "--staged", "--", "README.md"}}},
      {"git_restore", R"(,"path":"README.md","staged":false,"worktree":false)",
       "Restored 1 path(s) from HEAD", {{"restore", "--source=HEAD", "--", "README.md"}}},
      {"git_status", "", "status", {{"status", "--porcelain=1", "--branch"}}},
      {"git_log", "", "log", {{"log", "--oneline", "-10"}}},
      {"git_log", R"(,"count":0)", "log", {{"log", "--oneline", "-1"}}},
      {"git_log", R"(,"count":5000)", "log", {{"log", "--oneline", "-100"}}},
      {"git_branch_list", "", "branch_list", {{"branch", "--list"}}},
      {"git_diff", R"(,"path":"  ","staged":true)", "diff", {{"diff"}}},
      {"git_diff", R"(,"scope":" STAGED\n")", "diff", {{"diff", "--staged"}}},
      {"git_diff", R"(,"scope":"branch")", "diff", {{"diff", "main...HEAD"}}},
      {"git_diff", R"(,"scope":"Branch","base_branch":"feature/x","path":"src/a.c")", "diff",
       {{"diff", "feature/x...HEAD", "--", "src/a.c"}}},
      {"git_deliver", R"(,"worktree_path":".omvi/worktrees/plain","branch":"t")",
       "worktree_not_linked", {{"rev-parse", "--show-toplevel"}, identity}},
      {"git_deliver", R"(,"worktree_path":".omvi/worktrees/self","branch":"t")",
       "worktree_not_linked", {identity}},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string workspace = c.where == kRepository     ? root()
                                  : c.where == kNoRepository ? plain.path()
                                                             : " ";
    Response r;
    const auto calls = callsFor(
        "{\"op\":\"" + c.op + "\",\"workspace_root\":" + quote(workspace) + c.fields + "}", r);
    if (calls) {
      EXPECT_EQ(*calls, c.calls) << c.op << c.fields;
    }
    EXPECT_TRUE(r.str("message").starts_with(c.text))
        << c.op << c.fields << ": " << r.str("message");
    EXPECT_EQ(r.str("error"), r.ok() ? "" : r.str("message"));
    EXPECT_EQ(r.integers.contains("exit_status"), r.ok() || r.has("stderr"));
    if (r.ok()) {
      EXPECT_EQ(r.integers["exit_status"], 0);
    }
    if (!r.ok() && !r.has("exit_status")) {  // refused before git ran: the bare failure shape
      EXPECT_EQ(r.keys, (std::vector<std::string>{"error", "helper", "message", "ok", "pid"}));
    }
  }
  if (!recording_) {
    GTEST_SKIP() << "answers checked; the git command lines were not: recording them needs an "
                    "unprivileged mount namespace (unshare -rm)";
  }
}

TEST_F(OperationTable, RestoreFallsBackToCheckoutWhenRestoreFails) {
  if (!recording_) GTEST_SKIP() << "needs an unprivileged mount namespace";
  std::ofstream(fake_ / "fail-restore");
  write("README.md", "changed\n");
  Response r;
  const auto calls = callsFor(
      "{\"op\":\"git_restore\",\"workspace_root\":" + quote(root()) + R"(,"path":"README.md"})", r);
  ASSERT_EQ(calls->size(), 2u);
  EXPECT_EQ(calls->back(), (std::vector<std::string>{"checkout", "HEAD", "--", "README.md"}));
  EXPECT_EQ(r.str("message"), "Restored 1 path(s) from HEAD");
  EXPECT_EQ(r.str("stderr"), "");  // the checkout's, not the failed restore's complaint
  EXPECT_EQ(git("status --porcelain"), "");
}

}  // namespace
}  // namespace omvi_test
