// Hostile paths with every operation that takes a path. Each row of tests/data/hostile_paths.txt
// gets a fresh workspace (a repository with links pointing in, out, in loops and nowhere)
// beside a sentinel tree; every operation is sent the row's path, and the sentinel
// (everything outside the workspace) must be exactly as it was, bytes, modes and times,
// whatever the answers were.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/e2e/hostile_transport.h"
#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

namespace fs = std::filesystem;
using enum Outcome;

// One entry of a snapshot: what lstat says, the link's target or the file's bytes.
std::string describeEntry(const fs::path& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return "unreadable";
  std::string text = std::to_string(status.st_mode) + " " + std::to_string(status.st_size) + " " +
                     std::to_string(status.st_mtim.tv_sec) + "." +
                     std::to_string(status.st_mtim.tv_nsec) + " " + std::to_string(status.st_nlink);
  if (S_ISLNK(status.st_mode)) {
    text.append(" -> ").append(fs::read_symlink(path).string());
  } else if (S_ISREG(status.st_mode)) {
    std::ifstream file(path, std::ios::binary);
    text.append(" ").append(std::istreambuf_iterator<char>(file), {});
  }
  return text;
}

// The scene of one row: <top>/ws the workspace (a repository), beside it the sentinel:
// <top>/outside, <top>/ws2 and the link <top>/wslink.
class Scene {
 public:
  Scene() {
    const std::string ws = workspace();
    fs::create_directories(ws + "/sub/deep");
    fs::create_directories(ws + "/.omvi/worktrees");
    fs::create_directories(top() + "/outside/inner");
    fs::create_directories(top() + "/ws2");
    makeRepository(ws);
    std::ofstream(ws + "/file") << "a file\n";
    std::ofstream(ws + "/sub/deep/f.txt") << "deep\n";
    std::ofstream(top() + "/outside/secret") << "secret\n";
    std::ofstream(top() + "/outside/inner/x") << "x\n";
    std::ofstream(top() + "/ws2/x") << "ws2\n";
    const std::pair<std::string, std::string> links[] = {
        {"sub", "in"},
        {ws + "/sub/deep", "inabs"},
        {"..", "up"},
        {"../ws/sub", "upin"},
        {"../outside", "out"},
        {top() + "/outside/secret", "outabs"},
        {"../../outside", "sub/out2"},
        {"../../../outside/inner", "sub/deep/out3"},
        {"../../../outside", ".omvi/worktrees/escape"},
        {"../../../outside/wt", ".omvi/worktrees/dangling-wt"},
        {"/", "slash"},
        {"loop2", "loop1"},
        {"loop1", "loop2"},
        {"self", "self"},
        {"../outside/missing", "dangling"},
    };
    for (const auto& [target, at] : links)
      fs::create_symlink(target, ws + "/" + at);
    fs::create_symlink("ws", top() + "/wslink");
    before_ = sentinel();
  }

  [[nodiscard]] std::string top() const { return dir_.path(); }
  [[nodiscard]] std::string workspace() const { return dir_ / "ws"; }
  [[nodiscard]] const std::map<std::string, std::string>& before() const { return before_; }

  // Everything under top() but the workspace.
  [[nodiscard]] std::map<std::string, std::string> sentinel() const {
    std::map<std::string, std::string> entries;
    for (auto entry = fs::recursive_directory_iterator(top());
         entry != fs::recursive_directory_iterator(); ++entry) {
      if (entry->path() == workspace()) {
        entry.disable_recursion_pending();
      } else {
        entries[entry->path().string()] = describeEntry(entry->path());
      }
    }
    return entries;
  }

 private:
  TempDir dir_;
  std::map<std::string, std::string> before_;
};

// How each operation is handed the path (a JSON string literal).
struct Operation {
  std::string op;
  std::string (*fields)(const std::string& path);
};

const Operation kOperations[] = {
    {"write_file", [](const std::string& p) { return ",\"path\":" + p + ",\"content\":\"x\""; }},
    {"mkdir", [](const std::string& p) { return ",\"path\":" + p; }},
    {"delete_file", [](const std::string& p) { return ",\"path\":" + p; }},
    {"apply_diff",  // the path on the new-file line as written, without the literal's quotes
     [](const std::string& p) {
       return ",\"diff\":\"--- /dev/null\\n+++ " + p.substr(1, p.size() - 2) +
              "\\n@@ -0,0 +1 @@\\n+x\\n\"";
     }},
    {"git_stage", [](const std::string& p) { return ",\"paths\":[" + p + "]"; }},
    {"git_restore", [](const std::string& p) { return ",\"paths\":[" + p + "]"; }},
    {"git_diff", [](const std::string& p) { return ",\"path\":" + p; }},
    {"git_worktree_add",
     [](const std::string& p) { return ",\"worktree_path\":" + p + ",\"branch\":\"t1\""; }},
    {"git_deliver",
     [](const std::string& p) { return ",\"worktree_path\":" + p + ",\"branch\":\"t1\""; }},
    {"git_worktree_remove", [](const std::string& p) { return ",\"paths\":[" + p + "]"; }},
};

struct Row {
  std::string name;
  std::string path;  ///< JSON string literal; "@T" stands for the scene's top directory
  bool refused;      ///< every operation must answer "path_outside_workspace"
};

std::vector<Row> rows() {
  std::vector<Row> all;
  std::ifstream file(OMVI_TEST_DATA "/hostile_paths.txt");
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.find(' '), name = line.rfind("  # ");
    all.push_back({line.substr(name + 4), line.substr(space + 1, name - space - 1),
                   line.substr(0, space) == "outside"});
  }
  return all;
}

TEST(HostilePaths, NothingOutsideTheWorkspaceChangesWhateverThePath) {
  useHermeticEnvironment();
  const std::vector<Row> table = rows();
  ASSERT_GE(table.size(), 40U);
  // A sanitizer build sets a scene for every fourth row only: the scenes are what cost.
  constexpr std::size_t kStride = OMVI_SANITIZED ? 4 : 1;
  forEachInParallel(table.size(), [&](std::size_t index) {
    if (index % kStride != 0) return;
    const Row& row = table[index];
    const Way way = kWays[(index / kStride) % std::size(kWays)];  // each way in, in turn
    const Scene scene;
    std::string path = row.path;
    for (auto at = path.find("@T"); at != std::string::npos; at = path.find("@T"))
      path.replace(at, 2, scene.top());
    for (const Operation& operation : kOperations) {
      // A line break would end the diff's new-file line early: that diff names another path.
      if (operation.op == "apply_diff" && path.find("\\n") != std::string::npos) continue;
      const std::string what = row.name + " with " + operation.op + " over " + nameOf(way);
      const std::string error =
          expectAnswer(send(way, "{\"op\":\"" + operation.op + "\",\"workspace_root\":" +
                                     quote(scene.workspace()) + operation.fields(path) + "}"),
                       {kOk, kFailed}, what);
      if (row.refused) {
        EXPECT_EQ(error, "path_outside_workspace") << what;
      }
    }
    EXPECT_EQ(scene.sentinel(), scene.before()) << row.name;
  });
}

}  // namespace
}  // namespace omvi_test
