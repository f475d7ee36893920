// The isolation area: what lies in it, by whole components.
#include "runner/worktree/isolation_area.h"

#include <gtest/gtest.h>

namespace OmviAgentRunnerMain {
namespace {

TEST(IsolationArea, InsideIsTheAreaOrBelowItByWholeComponentsAfterStandardising) {
  const std::pair<const char*, bool> rows[] = {
      {"/work/repo/.omvi/worktrees", true},
      {"/work/repo/.omvi/worktrees/", true},
      {"/work/repo/.omvi/worktrees/./a/..", true},
      {"/work/repo/.omvi//worktrees/t1/sub", true},
      {"/work/repo/.omvi/worktreesX", false},
      {"/work/repo/.omvi/worktrees-old/t1", false},
      {"/work/repo/.omvi", false},
      {"/work/repo/.omvi/worktrees/t1/../../other", false},
      {"/work/repo/.OMVI/worktrees/t1", false},
  };
  for (const auto& [candidate, inside] : rows)
    EXPECT_EQ(isUnderIsolationArea(candidate, "/work/repo"), inside) << candidate;
  EXPECT_TRUE(isUnderIsolationArea("/.omvi/worktrees/t", "/"));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
