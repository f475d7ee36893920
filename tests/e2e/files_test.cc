// write_file, mkdir and delete_file against real directories.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "runner/files/confined_fs.h"
#include "runner/guard/workspace.h"
#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry below |directory|, as sorted relative paths.
std::vector<std::string> listing(const std::string& directory) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    entries.push_back(fs::relative(entry.path(), directory).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_);
    fs::create_directories(dir_ / "outside");
    std::ofstream(dir_ / "outside/keep.txt") << "keep";
  }

  // Sends |op| with the fields after it (a JSON fragment starting with a comma, or "").
  Response send(const std::string& op, const std::string& fields, int status) {
    const Completed done =
        runRequest(R"({"op":")" + op + R"(","workspace_root":)" + quote(root_) + fields + "}");
    EXPECT_EQ(done.status, status) << done.out;
    EXPECT_EQ(done.err, "");
    return parse(done.out);
  }

  TempDir dir_;
  std::string root_ = dir_ / "ws";
};

TEST_F(Files, WriteReportsBytesAndCreatesParents) {
  Response r = send("write_file", R"(,"path":"new/dir/a.txt","content":"é")", 0);
  EXPECT_EQ(r.keys, (std::vector<std::string>{"affected_paths", "helper", "ok", "path", "pid",
                                              "written_bytes"}));
  EXPECT_EQ(r.str("path"), root_ + "/new/dir/a.txt");
  EXPECT_EQ(r.lists["affected_paths"], std::vector<std::string>{root_ + "/new/dir/a.txt"});
  EXPECT_EQ(r.integers["written_bytes"], 2);
  EXPECT_EQ(slurp(root_ + "/new/dir/a.txt"), "é");

  r = send("write_file", R"(,"path":"new/dir/a.txt","content":"")", 0);
  EXPECT_EQ(r.integers["written_bytes"], 0);
  EXPECT_EQ(slurp(root_ + "/new/dir/a.txt"), "");

  struct stat status {};
  ASSERT_EQ(stat((root_ + "/new/dir/a.txt").c_str(), &status), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
  EXPECT_EQ(listing(root_),
            (std::vector<std::string>{"new", "new/dir", "new/dir/a.txt"}));  // no temporary left
}

TEST_F(Files, WriteThroughAnInRootLinkReplacesTheTarget) {
  fs::create_directories(root_ + "/real");
  std::ofstream(root_ + "/real/f.txt") << "old";
  fs::create_symlink("real/f.txt", root_ + "/link.txt");
  send("write_file", R"(,"path":"link.txt","content":"new")", 0);
  EXPECT_TRUE(fs::is_symlink(root_ + "/link.txt"));
  EXPECT_EQ(slurp(root_ + "/real/f.txt"), "new");
}

TEST_F(Files, ChecksComeInOrder) {
  const struct {
    std::string op, fields, error;
  } cases[] = {
      {"write_file", "", "path is required"},
      {"write_file", R"(,"path":" \n ","content":"x")", "path is required"},
      {"write_file", R"(,"path":"../x")", "content is required"},
      {"write_file", R"(,"path":"../x","content":"x")", "path_outside_workspace"},
      {"mkdir", R"(,"path":null)", "path is required"},
      {"mkdir", R"(,"path":"/etc/omvi")", "path_outside_workspace"},
      {"delete_file", R"(,"path":"")", "path is required"},
      {"delete_file", R"(,"path":"../outside/keep.txt")", "path_outside_workspace"},
  };
  for (const auto& c : cases) {
    const Response r = send(c.op, c.fields, 1);
    EXPECT_EQ(r.str("error"), c.error) << c.op << c.fields;
    EXPECT_EQ(r.keys, (std::vector<std::string>{"error", "helper", "message", "ok", "pid"}));
  }
  // No workspace root: every path is outside.
  const Completed done = runRequest(R"({"op":"mkdir","path":"/tmp/x"})");
  EXPECT_EQ(parse(done.out).str("error"), "path_outside_workspace");
}

TEST_F(Files, FailuresCarryTheOperationsOwnText) {
  fs::create_directories(root_ + "/dir");
  std::ofstream(root_ + "/file") << "x";
  EXPECT_EQ(send("write_file", R"(,"path":"dir","content":"x")", 1).str("error"),
            "write_failed: " + root_ + "/dir: Is a directory");
  EXPECT_EQ(send("write_file", R"(,"path":"file/x","content":"x")", 1).str("error"),
            "write_failed: " + root_ + "/file: Not a directory");
  EXPECT_EQ(send("mkdir", R"(,"path":"file")", 1).str("error"),
            "mkdir_failed: " + root_ + "/file: File exists");
  EXPECT_EQ(listing(root_), (std::vector<std::string>{"dir", "file"}));

  fs::permissions(root_ + "/dir", fs::perms::owner_read | fs::perms::owner_exec);
  if (geteuid() != 0) {  // root writes anywhere
    EXPECT_EQ(send("write_file", R"(,"path":"dir/x","content":"x")", 1).str("error"),
              "write_failed: " + root_ + "/dir/x: Permission denied");
  }
}

TEST_F(Files, MkdirIsIdempotent) {
  for (int i = 0; i < 2; ++i) {
    const Response r = send("mkdir", R"(,"path":"a/b/c")", 0);
    EXPECT_EQ(r.keys, (std::vector<std::string>{"affected_paths", "helper", "ok", "path", "pid"}));
  }
  EXPECT_TRUE(fs::is_directory(root_ + "/a/b/c"));
  EXPECT_EQ(send("mkdir", R"(,"path":".")", 0).str("path"), root_);
}

TEST_F(Files, DeleteRemovesTreesAndLinksButNeverWhatLinksPointTo) {
  fs::create_directories(root_ + "/tree/sub");
  std::ofstream(root_ + "/tree/sub/f") << "x";
  fs::create_directory_symlink(dir_ / "outside", root_ + "/tree/sub/out");
  fs::create_directories(root_ + "/kept");
  fs::create_directory_symlink(root_ + "/kept", root_ + "/inlink");
  fs::create_symlink(dir_ / "missing", root_ + "/dangling");

  Response r = send("delete_file", R"(,"path":"tree")", 0);
  EXPECT_EQ(r.str("message"), "deleted");
  EXPECT_EQ(r.keys,
            (std::vector<std::string>{"affected_paths", "helper", "message", "ok", "path", "pid"}));
  EXPECT_FALSE(fs::exists(root_ + "/tree"));
  EXPECT_EQ(slurp(dir_ / "outside/keep.txt"), "keep");

  send("delete_file", R"(,"path":"inlink")", 0);
  EXPECT_FALSE(fs::is_symlink(root_ + "/inlink"));
  EXPECT_TRUE(fs::is_directory(root_ + "/kept"));

  r = send("delete_file", R"(,"path":"dangling")", 0);  // counts as absent: stays
  EXPECT_EQ(r.str("message"), "deleted");
  EXPECT_TRUE(fs::is_symlink(root_ + "/dangling"));

  send("delete_file", R"(,"path":"never/was")", 0);
  send("delete_file", R"(,"path":".")", 0);
  EXPECT_FALSE(fs::exists(root_));
  EXPECT_TRUE(fs::exists(dir_ / "outside/keep.txt"));
}

TEST_F(Files, ADirectorySwappedForALinkAfterTheCheckIsNotFollowed) {
  using OmviAgentRunnerMain::authorize;
  fs::create_directories(root_ + "/sub");
  const auto path = authorize("sub/f.txt", root_);
  const auto tree = authorize("sub", root_);
  ASSERT_TRUE(path && tree);
  fs::remove(root_ + "/sub");
  fs::create_directory_symlink(dir_ / "outside", root_ + "/sub");

  const auto written = OmviAgentRunnerMain::writeFileAtomically(root_, *path, "x");
  ASSERT_TRUE(written);
  EXPECT_NE(written->find("leads outside the workspace"), std::string::npos) << *written;
  EXPECT_TRUE(OmviAgentRunnerMain::makeDirectories(root_, *path));
  EXPECT_EQ(listing(dir_ / "outside"), std::vector<std::string>{"keep.txt"});
  // Removing the swapped entry removes the link itself, never the directory it points to.
  EXPECT_FALSE(OmviAgentRunnerMain::removeEntry(root_, *tree));
  EXPECT_EQ(listing(dir_ / "outside"), std::vector<std::string>{"keep.txt"});
}

}  // namespace
}  // namespace omvi_test
