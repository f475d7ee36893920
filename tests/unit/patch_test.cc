// The paths apply_diff reads from a diff.
#include "runner/files/patch.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using omvi_test::repeat;

using Paths = std::vector<std::string>;

// Which lines name paths, carriage returns, sorting and repeats are the diffPaths fuzz
// target's properties; it leaves open which spelling of canonically equal paths is kept.
TEST(DiffPaths, CanonicallyEqualPathsKeepTheirFirstSpellingSortedAfterComposition) {
  EXPECT_EQ(diffPaths("+++ b/e\u0301\n+++ b/f\n+++ b/\u00e9\n"), (Paths{"f", "e\u0301"}));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
