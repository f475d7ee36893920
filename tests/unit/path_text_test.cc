// Lexical path text: standardising, joining, parent components.
#include "runner/guard/path_text.h"

#include <gtest/gtest.h>

namespace OmviAgentRunnerMain {
namespace {

TEST(Standardize, IsLexical) {
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"/a//b/./c/", "/a/b/c"}, {"/a/b/..", "/a"}, {"/..", "/"}, {"/../../x", "/x"}, {"/", "/"},
      {"//", "/"}, {"a/../b", "a/../b"}, {"../x/", "../x"}, {"./x", "x"}, {".", "."}, {"", ""},
      {"/a/./b/../../c", "/c"}, {"a//b", "a/b"}, {"/ws/.", "/ws"}, {"/a/../../b/..", "/"}};
  // clang-format on
  for (const auto& [in, out] : cases)
    EXPECT_EQ(standardizePath(in), out) << in;
  for (const auto& [base, component] : cases) {  // every sample as both halves
    for (const char* other : {"/", "/ws", "/ws/", "ws", ".", ""}) {
      EXPECT_EQ(standardizedJoin(other, base),
                standardizePath(appendingPathComponent(other, base)));
      EXPECT_EQ(standardizedJoin(base, other),
                standardizePath(appendingPathComponent(base, other)));
    }
    EXPECT_EQ(standardizedJoin(base, component),
              standardizePath(appendingPathComponent(base, component)));
  }
  for (const char* with : {"..", "a/..", "../b", "a/../b", "/a/../"})
    EXPECT_TRUE(holdsParentComponent(with)) << with;
  for (const char* without : {"...", "a..", "..b/c", "a/.../b", "/a/b."})
    EXPECT_FALSE(holdsParentComponent(without)) << without;
}

}  // namespace
}  // namespace OmviAgentRunnerMain
