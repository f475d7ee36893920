// Branch and remote names, each by their own rules.
#include "runner/guard/names.h"

#include <gtest/gtest.h>

#include <vector>

namespace OmviAgentRunnerMain {
namespace {

TEST(Names, BranchesAndRemotesEachByTheirOwnRules) {
  using Names = std::vector<std::string>;
  for (const std::string& name : Names{"über-fix", "функция", "release+build", "a@b", "@", "ends/",
                                       "ends.", "x.lock", "/leading", std::string(255, 'a')}) {
    EXPECT_EQ(validateBranchName(name), name);
  }
  for (const std::string& name :
       Names{"", "  ", "-b", ".hidden", "a..b", "a//b", "a\\b", "a b", std::string("a\0b", 3),
             "a~1", "a^", "a:b", "a?", "a*", "a[0]", "a{1}", "tab\tinside", "emoji😀",
             std::string(256, 'a')}) {
    EXPECT_FALSE(validateBranchName(name)) << name;
  }
  EXPECT_EQ(validateBranchName("  feature/login \n"), "feature/login");
  std::string clusters;
  for (int i = 0; i < 255; ++i)
    clusters += "e\u0301";  // 255 characters, 765 bytes
  EXPECT_TRUE(validateBranchName(clusters));
  EXPECT_FALSE(validateBranchName(clusters + "e"));

  for (const std::string& name :
       Names{"origin", "my-remote_2", ".dot", "a.b", std::string(1000, 'r')})
    EXPECT_EQ(validateRemoteName(name), name);
  for (const std::string& name : Names{"", " ", "-x", "a..b", "a/b", "a\\b", "a b", "a@b", "a+b"})
    EXPECT_FALSE(validateRemoteName(name)) << name;
  EXPECT_EQ(validateRemoteName("  upstream\n"), "upstream");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
