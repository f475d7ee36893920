// A diff's header names as git apply reads them.
#include "runner/files/diff_headers.h"

#include <gtest/gtest.h>

#include <fstream>

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
  const auto unescaped = [](std::string text) {
    for (const auto& [from, to] : {std::pair{"\\n", "\n"}, std::pair{"\\t", "\t"}}) {
      for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
        text.replace(at, 2, to);
    }
    return text;
  };
  std::ifstream file(OMVI_TEST_DATA "/diff_header_names.txt");
  int rows = 0;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    ++rows;
    const std::size_t first = line.find('\t'), second = line.find('\t', first + 1);
    const std::string prefix = line.substr(0, first) == "-" ? "" : line.substr(0, first);
    const std::string diff = unescaped(line.substr(second + 1));
    EXPECT_EQ(read(diff, prefix), unescaped(line.substr(first + 1, second - first - 1))) << diff;
  }
  EXPECT_GE(rows, 14);
  // A NUL byte, which a line of text cannot show.
  std::string withNul = "--- a/x\n+++ b/x\n@@ -1 +1 @@\n-a\n+b\n";
  withNul[14] = '\0';
  EXPECT_EQ(read(withNul, ""), "!");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
