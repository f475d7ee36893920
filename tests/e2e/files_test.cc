// write_file, mkdir and delete_file against real directories. (That no path reaches outside
// the workspace is tests/e2e/hostile_paths_test.cc's.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::string>;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry below |directory|, as sorted relative paths.
std::vector<std::string> listing(const std::string& directory) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(directory))
    entries.push_back(fs::relative(entry.path(), directory).string());
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
  Response request(const std::string& op, const std::string& fields) {
    return send(op, root_, fields);
  }

  TempDir dir_;
  std::string root_ = dir_ / "ws";
};

TEST_F(Files, WriteReportsBytesAndCreatesParents) {
  Response r = request("write_file", R"(,"path":"new/dir/a.txt","content":"é")");
  EXPECT_EQ(r.keys, (Keys{"affected_paths", "helper", "ok", "path", "pid", "written_bytes"}));
  EXPECT_EQ(r.str("path"), root_ + "/new/dir/a.txt");
  EXPECT_EQ(r.lists["affected_paths"], Keys{root_ + "/new/dir/a.txt"});
  EXPECT_EQ(r.integers["written_bytes"], 2);
  EXPECT_EQ(slurp(root_ + "/new/dir/a.txt"), "é");

  r = request("write_file", R"(,"path":"new/dir/a.txt","content":"")");
  EXPECT_EQ(r.integers["written_bytes"], 0);
  EXPECT_EQ(slurp(root_ + "/new/dir/a.txt"), "");
  struct stat status {};
  ASSERT_EQ(stat((root_ + "/new/dir/a.txt").c_str(), &status), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
  EXPECT_EQ(listing(root_), (Keys{"new", "new/dir", "new/dir/a.txt"}));  // no temporary left

  fs::create_directories(root_ + "/real");
  std::ofstream(root_ + "/real/f.txt") << "old";
  fs::create_symlink("real/f.txt", root_ + "/link.txt");  // a link inside is written through
  EXPECT_TRUE(request("write_file", R"(,"path":"link.txt","content":"new")").ok());
  EXPECT_TRUE(fs::is_symlink(root_ + "/link.txt"));
  EXPECT_EQ(slurp(root_ + "/real/f.txt"), "new");

  // A file replaced keeps its permission bits, written directly or through a link.
  for (const mode_t mode : {0600, 0755, 0640}) {
    for (const char* path : {"real/f.txt", "link.txt"}) {
      chmod((root_ + "/real/f.txt").c_str(), mode);
      EXPECT_TRUE(
          request("write_file", R"(,"path":")" + std::string(path) + R"(","content":"")").ok());
      ASSERT_EQ(stat((root_ + "/real/f.txt").c_str(), &status), 0);
      EXPECT_EQ(status.st_mode & 07777, mode) << path;
    }
  }
}

TEST_F(Files, ChecksComeInOrder) {
  const struct {
    std::string op, fields, error;
  } rows[] = {
      {"write_file", "", "path is required"},
      {"write_file", R"(,"path":" \n ","content":"x")", "path is required"},
      {"write_file", R"(,"path":"../x")", "content is required"},
      {"mkdir", R"(,"path":null)", "path is required"},
      {"delete_file", R"(,"path":"")", "path is required"},
  };
  for (const auto& row : rows) {
    const Response r = request(row.op, row.fields);
    EXPECT_EQ(r.str("error"), row.error) << row.op << row.fields;
    EXPECT_EQ(r.keys, (Keys{"error", "helper", "message", "ok", "pid"}));
  }
  // No workspace root: every path is outside.
  EXPECT_EQ(parse(runRequest(R"({"op":"mkdir","path":"/tmp/x"})").out).str("error"),
            "path_outside_workspace");
}

TEST_F(Files, FailuresCarryTheOperationsOwnText) {
  fs::create_directories(root_ + "/dir");
  std::ofstream(root_ + "/file") << "x";
  EXPECT_EQ(request("write_file", R"(,"path":"dir","content":"x")").str("error"),
            "write_failed: " + root_ + "/dir: Is a directory");
  EXPECT_EQ(request("write_file", R"(,"path":"file/x","content":"x")").str("error"),
            "write_failed: " + root_ + "/file: Not a directory");
  EXPECT_EQ(request("mkdir", R"(,"path":"file")").str("error"),
            "mkdir_failed: " + root_ + "/file: File exists");
  EXPECT_EQ(request("write_file", R"(,"path":".","content":"x")").str("error"),
            "write_failed: " + root_ + ": is the workspace root itself");
  // A path too long to look at is never answered "deleted" on a guess.
  const std::string longPath = repeat("d/", 2100) + "f";
  EXPECT_EQ(request("delete_file", R"(,"path":")" + longPath + "\"").str("error"),
            "delete_failed: " + root_ + "/" + longPath + ": File name too long");
  EXPECT_EQ(listing(root_), (Keys{"dir", "file"}));
  if (geteuid() == 0) GTEST_SKIP() << "the rest needs a user whom permissions bind, not root";
  fs::permissions(root_ + "/dir", fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(request("write_file", R"(,"path":"dir/x","content":"x")").str("error"),
            "write_failed: " + root_ + "/dir/x: Permission denied");
}

TEST_F(Files, MkdirIsIdempotent) {
  for (int i = 0; i < 2; ++i) {
    const Response r = request("mkdir", R"(,"path":"a/b/c")");
    EXPECT_EQ(r.keys, (Keys{"affected_paths", "helper", "ok", "path", "pid"}));
  }
  EXPECT_TRUE(fs::is_directory(root_ + "/a/b/c"));
  EXPECT_EQ(request("mkdir", R"(,"path":".")").str("path"), root_);
}

TEST_F(Files, DeleteRemovesTreesAndLinksButNeverWhatLinksPointTo) {
  fs::create_directories(root_ + "/tree/sub");
  std::ofstream(root_ + "/tree/sub/f") << "x";
  fs::create_directory_symlink(dir_ / "outside", root_ + "/tree/sub/out");
  fs::create_directories(root_ + "/kept");
  fs::create_directory_symlink(root_ + "/kept", root_ + "/inlink");
  fs::create_symlink(dir_ / "missing", root_ + "/dangling");

  Response r = request("delete_file", R"(,"path":"tree")");
  EXPECT_EQ(r.str("message"), "deleted");
  EXPECT_EQ(r.keys, (Keys{"affected_paths", "helper", "message", "ok", "path", "pid"}));
  EXPECT_FALSE(fs::exists(root_ + "/tree"));
  EXPECT_EQ(slurp(dir_ / "outside/keep.txt"), "keep");

  request("delete_file", R"(,"path":"inlink")");
  EXPECT_FALSE(fs::is_symlink(root_ + "/inlink"));
  EXPECT_TRUE(fs::is_directory(root_ + "/kept"));

  r = request("delete_file", R"(,"path":"dangling")");  // counts as absent: stays
  EXPECT_EQ(r.str("message"), "deleted");
  EXPECT_TRUE(fs::is_symlink(root_ + "/dangling"));

  EXPECT_TRUE(request("delete_file", R"(,"path":"never/was")").ok());
  EXPECT_TRUE(request("delete_file", R"(,"path":".")").ok());
  EXPECT_FALSE(fs::exists(root_));
  EXPECT_TRUE(fs::exists(dir_ / "outside/keep.txt"));
}

// However deep the tree, one answer and the tree gone, under a limit of 32 descriptors where
// one per level would need thousands; links inside go, what they point to stays.
TEST(DeepTrees, DeleteRemovesAnyDepthWithFewDescriptors) {
  // tmpfs when there is one: a hundred thousand directories on a disk take minutes.
  const TempDir dir(fs::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                                                                                  : "");
  fs::create_directories(dir / "ws");
  std::ofstream(dir / "keep.txt") << "keep";
  for (const int depth : {1000, 100000}) {
    int fd = open((dir / "ws").c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    for (int level = 0; level < depth && fd >= 0; ++level) {
      if (level % 1000 == 999) {
        ASSERT_EQ(symlinkat((dir / "keep.txt").c_str(), fd, "out"), 0);
      }
      const int next = mkdirat(fd, "d", 0700) == 0 ? openat(fd, "d", O_DIRECTORY | O_CLOEXEC) : -1;
      close(fd);
      fd = next;
    }
    ASSERT_GE(fd, 0) << depth;
    close(fd);
    const Completed done =
        run({"sh", "-c", "ulimit -n 32 && exec \"$0\" \"$@\"", runnerBinary(), "--json",
             R"({"op":"delete_file","workspace_root":")" + dir / "ws" + R"(","path":"d"})"});
    EXPECT_EQ(done.err, "");
    EXPECT_EQ(parse(done.out).str("message"), "deleted") << depth;
    EXPECT_TRUE(fs::is_empty(dir / "ws")) << depth;
    EXPECT_EQ(slurp(dir / "keep.txt"), "keep");
    if (!fs::is_empty(dir / "ws")) sh("rm -rf d", dir / "ws");  // what remove_all cannot
  }
}

}  // namespace
}  // namespace omvi_test
