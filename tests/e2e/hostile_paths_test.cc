// Hostile paths with every operation that takes a path. Each row of tests/data/hostile_paths.txt
// gets a fresh workspace (a repository with links pointing in, out, in loops and nowhere, and
// a worktree of its own outside) beside a sentinel tree; every operation is sent the row's
// path, and the sentinel (everything outside the workspace) must be exactly as it was, bytes,
// modes and times, whatever the answers were. The workspace's parent must not change even for
// a moment: a file made there and removed again still shows in its times.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>

#include "tests/support/test_support.h"
#include "tests/support/transports.h"

namespace omvi_test {
namespace {

using enum Outcome;

// The scene of one row: <top>/ws the workspace (a repository), beside it the sentinel:
// <top>/outside, <top>/ws2 and the link <top>/wslink.
class Scene {
 public:
  Scene() {
    sh("mkdir -p ws/sub/deep ws/.omvi/worktrees outside/inner ws2 && echo a file > ws/file && "
       "echo deep > ws/sub/deep/f.txt && echo secret > outside/secret && echo x > outside/inner/x "
       "&& echo ws2 > ws2/x && ln -s ws wslink && cd ws && ln -s sub in && "
       "ln -s \"$PWD/sub/deep\" inabs && ln -s .. up && ln -s ../ws/sub upin && "
       "ln -s ../outside out && ln -s \"$OLDPWD/outside/secret\" outabs && "
       "ln -s ../../outside sub/out2 && ln -s ../../../outside/inner sub/deep/out3 && "
       "ln -s ../../../outside .omvi/worktrees/escape && "
       "ln -s ../../../outside/wt .omvi/worktrees/dangling-wt && ln -s / slash && "
       "ln -s loop2 loop1 && ln -s loop1 loop2 && ln -s self self && "
       "ln -s ../outside/missing dangling && ln -s ../ws2 sibling && ln -s . here",
       top());
    makeRepository(workspace());
    sh("git worktree add -q ../outside/ws/wt", workspace());
    before_ = sentinel();
  }

  [[nodiscard]] std::string top() const { return dir_.path(); }
  [[nodiscard]] std::string workspace() const { return dir_ / "ws"; }
  [[nodiscard]] const std::string& before() const { return before_; }

  // The modification and change times of top(), to the nanosecond.
  [[nodiscard]] std::string parentTimes() const {
    struct stat status {};
    EXPECT_EQ(stat(top().c_str(), &status), 0);
    return std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) +
           " " + std::to_string(status.st_ctim.tv_sec) + "." +
           std::to_string(status.st_ctim.tv_nsec);
  }

  // Everything outside the workspace, or outside |spared| within it.
  [[nodiscard]] std::string sentinel(const std::string& spared = "./ws") const {
    return snapshot(top(), spared);
  }

 private:
  TempDir dir_;
  std::string before_;
};

// Each operation and how it is handed the path: "@P" stands for the path's JSON string literal,
// "@B" for the same without its quotes (on a diff's new-file line, as written).
const std::pair<std::string, std::string> kOperations[] = {
    {"write_file", R"(,"path":@P,"content":"x")"},
    {"mkdir", R"(,"path":@P)"},
    {"delete_file", R"(,"path":@P)"},
    {"apply_diff", R"(,"diff":"--- /dev/null\n+++ @B\n@@ -0,0 +1 @@\n+x\n")"},
    {"git_stage", R"(,"paths":[@P])"},
    {"git_restore", R"(,"paths":[@P])"},
    {"git_diff", R"(,"path":@P)"},
    {"git_worktree_add", R"(,"worktree_path":@P,"branch":"t1")"},
    {"git_deliver", R"(,"worktree_path":@P,"branch":"t1")"},
    {"git_worktree_remove", R"(,"paths":[@P])"},
};

// |text| with every "@X" of |substitutions| replaced.
std::string substituted(std::string text, const std::map<std::string, std::string>& substitutions) {
  for (const auto& [from, to] : substitutions) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  }
  return text;
}

struct Row {
  std::string name;
  std::string path;       ///< JSON string literal; "@T" stands for the scene's top directory
  bool refused;           ///< every operation must answer "path_outside_workspace"
  std::string directory;  ///< the runner's working directory below "@T", when chosen
  std::string root;       ///< JSON string literal; the workspace's absolute path by default
};

std::vector<Row> rows(const std::string& data = "hostile_paths.txt") {
  std::vector<Row> all;
  std::ifstream file(OMVI_TEST_DATA "/" + data);
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t name = line.rfind("  # ");
    std::size_t at = line.find(' ');
    Row row{line.substr(name + 4), {}, line.substr(0, at) == "outside", {}, "\"@T/ws\""};
    while (line.compare(at + 1, 3, "in=") == 0 || line.compare(at + 1, 5, "root=") == 0) {
      const std::size_t end = line.find(' ', at + 1);
      const std::string field = line.substr(at + 1, end - at - 1);
      (field[0] == 'i' ? row.directory : row.root) = field.substr(field.find('=') + 1);
      at = end;
    }
    row.path = line.substr(at + 1, name - at - 1);
    all.push_back(std::move(row));
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
    // Each way in, in turn; only a runner started for the row can be given its directory.
    const Way way = kWays[(index / kStride) % (row.directory.empty() ? std::size(kWays) : 2)];
    const Scene scene;
    const std::string path = substituted(row.path, {{"@T", scene.top()}});
    const std::string directory = row.directory.empty() ? "" : scene.top() + "/" + row.directory;
    std::string parentTimes = scene.parentTimes();
    for (const auto& [op, fields] : kOperations) {
      // A line break would end the diff's new-file line early: that diff names another path.
      if (op == "apply_diff" && path.find("\\n") != std::string::npos) continue;
      const std::string what = row.name + " with " + op + " over " + nameOf(way);
      const std::string request =
          "{\"op\":\"" + op +
          "\",\"workspace_root\":" + substituted(row.root, {{"@T", scene.top()}}) +
          substituted(fields, {{"@P", path}, {"@B", path.substr(1, path.size() - 2)}}) + "}";
      const std::string error = expectAnswer(send(way, request, directory), {kOk, kFailed}, what);
      if (row.refused) {
        EXPECT_EQ(error, "path_outside_workspace") << what;
      }
      if (op != "delete_file") {  // removing the root itself is the one change there
        EXPECT_EQ(scene.parentTimes(), parentTimes) << what << ": the workspace's parent changed";
      }
      parentTimes = scene.parentTimes();
    }
    EXPECT_EQ(scene.sentinel(), scene.before()) << row.name;
  });
}

// apply_diff with the root "ws/sub", below the repository's top level, from which git reads the
// names of a diff's headers: the rows of tests/data/hostile_diffs.txt, each in a fresh scene
// whose sentinel is everything but the root (the rest of the repository included).
TEST(HostilePaths, DiffsNamingFilesBesideARootBelowTheTopLevelChangeNothingThere) {
  useHermeticEnvironment();
  const std::vector<Row> table = rows("hostile_diffs.txt");
  ASSERT_GE(table.size(), 20U);
  forEachInParallel(table.size(), [&](std::size_t index) {
    const Row& row = table[index];
    const Scene scene;
    const std::string before = scene.sentinel("./ws/sub");
    const std::string request = R"({"op":"apply_diff","workspace_root":)" +
                                quote(scene.workspace() + "/sub") + R"(,"diff":)" +
                                substituted(row.path, {{"@T", scene.top()}}) + "}";
    const std::string error = expectAnswer(send(kWays[index % std::size(kWays)], request),
                                           {row.refused ? kFailed : kOk}, row.name);
    EXPECT_EQ(error, row.refused ? "path_outside_workspace" : "") << row.name;
    EXPECT_EQ(scene.sentinel("./ws/sub"), before) << row.name;
  });
}

}  // namespace
}  // namespace omvi_test
