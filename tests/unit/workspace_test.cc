#include "runner/guard/workspace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runner/guard/path_text.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

TEST(Standardize, IsLexical) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"/a//b/./c/", "/a/b/c"},
      {"/a/b/..", "/a"},
      {"/..", "/"},
      {"/../../x", "/x"},
      {"/", "/"},
      {"//", "/"},
      {"a/../b", "a/../b"},
      {"../x/", "../x"},
      {"./x", "x"},
      {".", "."},
      {"", ""},
      {"/a/./b/../../c", "/c"},
      {"a//b", "a/b"},
      {"/ws/.", "/ws"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(standardizePath(c.in), c.out) << c.in;
}

TEST(PathText, JoinParentAndLast) {
  EXPECT_EQ(appendingPathComponent("/ws", "a"), "/ws/a");
  EXPECT_EQ(appendingPathComponent("/ws/", "a"), "/ws/a");
  EXPECT_EQ(appendingPathComponent("/", "a"), "/a");
  EXPECT_EQ(appendingPathComponent("/ws", ""), "/ws");
  EXPECT_EQ(deletingLastPathComponent("/a/b"), "/a");
  EXPECT_EQ(deletingLastPathComponent("/a"), "/");
  EXPECT_EQ(deletingLastPathComponent("/"), "/");
  EXPECT_EQ(deletingLastPathComponent("a"), "");
  EXPECT_EQ(lastPathComponent("/a/b/"), "b");
  EXPECT_EQ(directoryPrefix("/"), "/");
  EXPECT_EQ(directoryPrefix("/ws"), "/ws/");
}

TEST(Tilde, ExpandsFromHomeAndThePasswordDatabase) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(expandTilde("~"), home);
  EXPECT_EQ(expandTilde("~/proj"), std::string(home) + "/proj");
  EXPECT_EQ(expandTilde("~root/x"), "/root/x");
  EXPECT_EQ(expandTilde("~no-such-user-omvi/x"), "~no-such-user-omvi/x");
  EXPECT_EQ(expandTilde("a/~"), "a/~");
}

TEST(ResolveRoot, TrimsExpandsAndStandardises) {
  EXPECT_EQ(resolveRoot(std::nullopt), "");
  EXPECT_EQ(resolveRoot(" \n\t"), "");
  EXPECT_EQ(resolveRoot("  /Users/dev/proj/ \n"), "/Users/dev/proj");
  EXPECT_EQ(resolveRoot("~/proj"), std::string(std::getenv("HOME")) + "/proj");
  EXPECT_EQ(resolveRoot("/"), "/");
}

// A workspace with links pointing in, out and nowhere, beside a directory outside it.
class Authorize : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    root_ = dir_ / "ws";
    fs::create_directories(root_ + "/src/deep/er");
    fs::create_directories(dir_ / "outside/sub");
    fs::create_directories(dir_ / "ws2");
    std::ofstream(root_ + "/src/a.c") << "x";
    fs::create_directory_symlink(dir_ / "outside", root_ + "/out");
    fs::create_directory_symlink(dir_ / "outside", root_ + "/src/deep/er/out");
    fs::create_directory_symlink(root_ + "/src", root_ + "/in");
    fs::create_symlink(dir_ / "missing", root_ + "/dangling");
    fs::create_symlink("loop2", root_ + "/loop1");
    fs::create_symlink("loop1", root_ + "/loop2");
    fs::create_directory_symlink(root_, dir_ / "rootlink");
  }

  omvi_test::TempDir dir_;
  std::string root_;
};

TEST_F(Authorize, AcceptsInsideAndRefusesOutside) {
  const struct {
    std::string path;
    std::optional<std::string> expected;  ///< relative to the root; nothing: refused
  } cases[] = {
      {"src/a.c", "src/a.c"},
      {"./src//a.c", "src/a.c"},
      {".", ""},
      {"", ""},
      {"  src/a.c \n", "src/a.c"},
      {root_, ""},
      {root_ + "/x", "x"},
      {"new/dir/file.txt", "new/dir/file.txt"},
      {"src/../../etc", std::nullopt},
      {"..", std::nullopt},
      {"src/..", ""},
      {dir_ / "ws2/x", std::nullopt},
      {"/etc/passwd", std::nullopt},
      {"out", std::nullopt},
      {"out/sub", std::nullopt},
      {"out/new.txt", std::nullopt},        // judged by the link, whose target exists
      {"src/deep/er/out/x", std::nullopt},  // a link several levels down
      {"in/a.c", "in/a.c"},                 // a link that stays inside
      {"dangling", "dangling"},             // judged by its parent
      {"dangling/x", "dangling/x"},
      {"loop1/x", "loop1/x"},      // a loop does not exist; its parent decides
      {"src/a.c/x", "src/a.c/x"},  // a file used as a directory: judged by the file
      {std::string("a\0b", 3), std::nullopt},
      {"~", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto got = authorize(c.path, root_);
    if (!c.expected) {
      EXPECT_FALSE(got) << c.path << " -> " << got.value_or("");
    } else {
      EXPECT_EQ(got, c.expected->empty() ? root_ : root_ + "/" + *c.expected) << c.path;
    }
  }
}

TEST_F(Authorize, EmptyRootRefusesEverything) {
  for (const std::string& path : std::vector<std::string>{"", ".", "/", root_ + "/src/a.c"})
    EXPECT_FALSE(authorize(path, "")) << path;
}

TEST_F(Authorize, RootReachedThroughALinkWorks) {
  const std::string linked = dir_ / "rootlink";
  EXPECT_EQ(authorize("src/a.c", linked), linked + "/src/a.c");
  EXPECT_EQ(authorize("new.txt", linked), linked + "/new.txt");
  EXPECT_FALSE(authorize("out/x", linked));
}

TEST_F(Authorize, MissingRootAcceptsOnlyItself) {
  const std::string missing = dir_ / "nope";
  EXPECT_EQ(authorize(".", missing), missing);
  EXPECT_FALSE(authorize("a", missing));
}

TEST_F(Authorize, FileSystemRootAcceptsEveryAbsolutePath) {
  EXPECT_EQ(authorize("/etc/passwd", "/"), "/etc/passwd");
  EXPECT_EQ(authorize("tmp", "/"), "/tmp");
}

TEST_F(Authorize, TildeIsAcceptedOnlyWhenHomeIsInside) {
  const char* saved = std::getenv("HOME");
  const std::string previous = saved ? saved : "";
  setenv("HOME", (root_ + "/src").c_str(), 1);
  EXPECT_EQ(authorize("~/a.c", root_), root_ + "/src/a.c");
  setenv("HOME", previous.c_str(), 1);
}

TEST(Pathspec, RelativeToTheRoot) {
  EXPECT_EQ(workspaceRelativePathspec("/ws/src/b.c", "/ws"), "src/b.c");
  EXPECT_EQ(workspaceRelativePathspec("/ws", "/ws"), ".");
  EXPECT_EQ(workspaceRelativePathspec("/a", "/"), "a");
  EXPECT_EQ(workspaceRelativePathspec("/other", "/ws"), "/other");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
