// apply_diff against a real checkout: what git does with the diff, and that the temporary copy
// never outlives the operation.
#include "tests/e2e/repository_fixture.h"

namespace omvi_test {
namespace {

using Paths = std::vector<std::string>;

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

TEST_F(ApplyDiff, ADiffThatDoesNotApplyAnswersGitsComplaint) {
  Response r = apply("--- a/README.md\n+++ b/README.md\n@@ -1 +1 @@\n-absent\n+x\n");
  EXPECT_FALSE(r.ok());
  EXPECT_TRUE(r.str("error").starts_with("error: patch failed: README.md:1")) << r.str("error");
  EXPECT_NE(r.str("error").back(), '\n');  // trimmed, unlike stderr
  EXPECT_EQ(r.str("error") + "\n", r.str("stderr"));
  EXPECT_EQ(r.integers["exit_status"], 1);
  EXPECT_EQ(r.lists["affected_paths"], (Paths{"README.md"}));
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
