// The confined file system calls: an entry swapped for a link after the check is never
// followed out of the workspace.
#include "runner/files/confined_fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "runner/guard/workspace.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::string>;

Keys listing(const std::string& directory) {
  Keys entries;
  for (const auto& entry : fs::recursive_directory_iterator(directory))
    entries.push_back(fs::relative(entry.path(), directory).string());
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(ConfinedFs, ADirectorySwappedForALinkAfterTheCheckIsNotFollowed) {
  const omvi_test::TempDir dir_;
  const std::string root_ = dir_ / "ws";
  fs::create_directories(dir_ / "outside");
  std::ofstream(dir_ / "outside/keep.txt") << "keep";
  fs::create_directories(root_ + "/sub");
  const auto path = authorize("sub/f.txt", root_);
  const auto tree = authorize("sub", root_);
  ASSERT_TRUE(path && tree);
  fs::remove(root_ + "/sub");
  fs::create_directory_symlink(dir_ / "outside", root_ + "/sub");

  const auto written = writeFileAtomically(root_, *path, "x");
  ASSERT_TRUE(written);
  EXPECT_NE(written->find("leads outside the workspace"), std::string::npos) << *written;
  EXPECT_TRUE(makeDirectories(root_, *path));
  EXPECT_EQ(listing(dir_ / "outside"), Keys{"keep.txt"});
  // Removing the swapped entry removes the link itself, never the directory it points to.
  EXPECT_FALSE(removeEntry(root_, *tree));
  EXPECT_EQ(listing(dir_ / "outside"), Keys{"keep.txt"});
}

}  // namespace
}  // namespace OmviAgentRunnerMain
