// A diff's header names as git apply reads them.
#include "runner/files/diff_headers.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using omvi_test::repeat;

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

}  // namespace
}  // namespace OmviAgentRunnerMain
