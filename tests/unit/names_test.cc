#include "runner/guard/names.h"

#include <gtest/gtest.h>

#include <vector>

namespace OmviAgentRunnerMain {
namespace {

TEST(BranchName, AcceptsTrimmedNamesOfAnyScript) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"  feature/login \n", "feature/login"},
      {"über-fix", "über-fix"},
      {"функция", "функция"},
      {"release+build", "release+build"},
      {"a@b", "a@b"},
      {"@", "@"},
      {"ends/", "ends/"},
      {"ends.", "ends."},
      {"x.lock", "x.lock"},
      {"/leading", "/leading"},
      {std::string(255, 'a'), std::string(255, 'a')},
  };
  for (const auto& c : cases)
    EXPECT_EQ(validateBranchName(c.in), c.out) << c.in;
}

TEST(BranchName, RefusesOptionsClimbingAndForeignCharacters) {
  for (const std::string& name :
       std::vector<std::string>{"", "  ", "-b", ".hidden", "a..b", "a//b", "a\\b", "a b",
                                std::string("a\0b", 3), "a~1", "a^", "a:b", "a?", "a*", "a[0]",
                                "a{1}", "tab\tinside", "emoji😀", std::string(256, 'a')}) {
    EXPECT_FALSE(validateBranchName(name)) << name;
  }
  std::string clusters;
  for (int i = 0; i < 255; ++i)
    clusters += "e\u0301";  // 255 characters, 765 bytes
  EXPECT_TRUE(validateBranchName(clusters));
  EXPECT_FALSE(validateBranchName(clusters + "e"));
}

TEST(RemoteName, RulesOfItsOwn) {
  for (const std::string& name :
       std::vector<std::string>{"origin", "my-remote_2", ".dot", "a.b", std::string(1000, 'r')}) {
    EXPECT_EQ(validateRemoteName(name), name) << name;
  }
  EXPECT_EQ(validateRemoteName("  upstream\n"), "upstream");
  for (const std::string& name :
       std::vector<std::string>{"", " ", "-x", "a..b", "a/b", "a\\b", "a b", "a@b", "a+b"}) {
    EXPECT_FALSE(validateRemoteName(name)) << name;
  }
}

}  // namespace
}  // namespace OmviAgentRunnerMain
