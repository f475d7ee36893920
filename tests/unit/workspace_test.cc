// The workspace root and authorization: inside is accepted, outside refused, links judged.
#include "runner/guard/workspace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runner/guard/path_text.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

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

}  // namespace
}  // namespace OmviAgentRunnerMain
