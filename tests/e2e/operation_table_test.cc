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
  // The rows of tests/data/operation_table.txt (its first lines say how they are written).
  std::ifstream table(OMVI_TEST_DATA "/operation_table.txt");
  int rows = 0;
  for (std::string line; std::getline(table, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++rows;
    std::vector<std::string> column;
    std::istringstream columns(line);
    for (std::string each; std::getline(columns, each, '\t');)
      column.push_back(each == "-" ? "" : each);
    ASSERT_EQ(column.size(), 5u) << line;
    const std::string &where = column[0], &op = column[1], &text = column[3];
    std::string fields = column[2];
    for (auto at = fields.find("@R"); at != std::string::npos; at = fields.find("@R"))
      fields.replace(at, 2, root());
    Calls expected;
    std::istringstream commands(column[4]);
    for (std::string command; std::getline(commands, command, ';');) {
      expected.emplace_back();
      std::istringstream arguments(command.substr(command.find_first_not_of(' ')));
      for (std::string argument; std::getline(arguments, argument, '|');)
        expected.back().push_back(argument.substr(0, argument.find_last_not_of(' ') + 1));
    }
    const std::string workspace = where == "repo" ? root() : where == "norepo" ? plain.path() : " ";
    const std::string what = op + fields;
    Response r;
    const auto calls =
        callsFor("{\"op\":\"" + op + "\",\"workspace_root\":" + quote(workspace) + fields + "}", r);
    if (calls) {
      EXPECT_EQ(*calls, expected) << what;
    }
    EXPECT_TRUE(r.str("message").starts_with(text)) << what << ": " << r.str("message");
    EXPECT_EQ(r.str("error"), r.ok() ? "" : r.str("message"));
    EXPECT_EQ(r.integers.contains("exit_status"), r.ok() || r.has("stderr"));
    if (r.ok()) {
      EXPECT_EQ(r.integers["exit_status"], 0);
    }
    if (!r.ok() && !r.has("exit_status")) {  // refused before git ran: the bare failure shape
      EXPECT_EQ(r.keys, (std::vector<std::string>{"error", "helper", "message", "ok", "pid"}));
    }
  }
  EXPECT_GT(rows, 30);
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
