// The guards: path standardisation, the workspace root, authorization, branch and remote
// names, the isolation area.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "runner/guard/names.h"
#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/worktree/isolation_area.h"
#include "tests/support/test_support.h"

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

TEST(ResolveRoot, TrimsExpandsAndStandardises) {
  const std::string home = std::getenv("HOME");
  EXPECT_EQ(resolveRoot(std::nullopt), "");
  EXPECT_EQ(resolveRoot(" \n\t"), "");
  EXPECT_EQ(resolveRoot("  /Users/dev/proj/ \n"), "/Users/dev/proj");
  EXPECT_EQ(resolveRoot("~/proj"), home + "/proj");
  EXPECT_EQ(resolveRoot("~"), home);
  EXPECT_EQ(resolveRoot("/"), "/");
  // A relative root is read against the working directory.
  const std::string here = std::filesystem::current_path().string();
  EXPECT_EQ(resolveRoot("."), here);
  EXPECT_EQ(resolveRoot(" ws/ "), here + "/ws");
  EXPECT_EQ(resolveRoot("./ws/../x"), here + "/x");
  EXPECT_EQ(resolveRoot(".."), std::filesystem::path(here).parent_path().string());
  EXPECT_EQ(expandTilde("~root/x"), "/root/x");
  EXPECT_EQ(expandTilde("~no-such-user-omvi/x"), "~no-such-user-omvi/x");
  EXPECT_EQ(expandTilde("a/~"), "a/~");
}

// A workspace with links pointing in, out and nowhere, beside a directory outside it. (The
// authorize fuzz target checks every accepted path against the kernel's own resolution.)
TEST(Authorize, AcceptsInsideAndRefusesOutside) {
  namespace fs = std::filesystem;
  const omvi_test::TempDir dir;
  const std::string ws = dir / "ws", linked = dir / "rootlink", missing = dir / "nope";
  fs::create_directories(ws + "/src/deep/er");
  fs::create_directories(dir / "outside/sub");
  fs::create_directories(dir / "ws2");
  std::ofstream(ws + "/src/a.c") << "x";
  fs::create_directory_symlink(dir / "outside", ws + "/out");
  fs::create_directory_symlink(dir / "outside", ws + "/src/deep/er/out");
  fs::create_directory_symlink(ws + "/src", ws + "/in");
  fs::create_symlink(dir / "missing", ws + "/dangling");
  fs::create_symlink("loop2", ws + "/loop1");
  fs::create_symlink("loop1", ws + "/loop2");
  fs::create_directory_symlink(ws, linked);
  fs::create_directory_symlink("../ws2", ws + "/sibling");
  const std::nullopt_t refused = std::nullopt;
  const struct {
    std::string root, path;
    std::optional<std::string> expected;
  } cases[] = {
      {ws, "src/a.c", ws + "/src/a.c"},
      {ws, "./src//a.c", ws + "/src/a.c"},
      {ws, ".", ws},
      {ws, "", ws},
      {ws, "  src/a.c \n", ws + "/src/a.c"},
      {ws, ws, ws},
      {ws, ws + "/x", ws + "/x"},
      {ws, "new/dir/file.txt", ws + "/new/dir/file.txt"},  // not there yet
      {ws, "src/..", ws},
      {ws, "src/../../etc", refused},
      {ws, "..", refused},
      {ws, dir / "ws2/x", refused},  // the root's name is a prefix of its sibling's
      {ws, "sibling/x", refused},    // the same, through a link
      {ws, "/etc/passwd", refused},
      {ws, "out", refused},
      {ws, "out/sub", refused},
      {ws, "out/new.txt", refused},        // judged by the link, whose target exists
      {ws, "src/deep/er/out/x", refused},  // a link several levels down
      {ws, "in/a.c", ws + "/in/a.c"},      // a link that stays inside
      {ws, omvi_test::repeat("new/", 100000) + "f",
       ws + "/" + omvi_test::repeat("new/", 100000) + "f"},
      {ws, "out/" + omvi_test::repeat("n/", 3000), refused},  // judged by the link, past PATH_MAX
      {ws, "in/" + omvi_test::repeat("n/", 3000) + "f",
       ws + "/in/" + omvi_test::repeat("n/", 3000) + "f"},
      {ws, "dangling", ws + "/dangling"},  // judged by its parent
      {ws, "dangling/x", ws + "/dangling/x"},
      {ws, "loop1/x", ws + "/loop1/x"},      // a loop does not exist; its parent decides
      {ws, "src/a.c/x", ws + "/src/a.c/x"},  // a file used as a directory: judged by the file
      {ws, std::string("a\0b", 3), refused},
      {ws, "~", refused},  // HOME is outside
      {linked, "src/a.c", linked + "/src/a.c"},
      {linked, "new.txt", linked + "/new.txt"},
      {linked, "out/x", refused},
      {missing, ".", missing},
      {missing, "a", refused},
      {"/", "/etc/passwd", "/etc/passwd"},
      {"/", "tmp", "/tmp"},
      {"", "", refused},
      {"", ".", refused},
      {"", "/", refused},
      {"", ws + "/src/a.c", refused},
      {"ws", "a", refused},  // a relative root confines nothing: resolveRoot never gives one
      {"ws", "nope/../../outside/x", refused},  // ".." stays in a relative candidate
      {".", "x", refused},
      {"../ws", ".", refused},
  };
  for (const auto& c : cases)
    EXPECT_EQ(authorize(c.path, c.root), c.expected) << c.root << " " << c.path;

  const std::string home = std::getenv("HOME");
  setenv("HOME", (ws + "/src").c_str(), 1);
  EXPECT_EQ(authorize("~/a.c", ws), ws + "/src/a.c");
  setenv("HOME", home.c_str(), 1);
}

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
