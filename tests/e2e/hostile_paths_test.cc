// Hostile paths with every operation that takes a path. Each row gets a fresh workspace (a
// repository with links pointing in, out, in loops and nowhere) beside a sentinel tree; every
// operation is sent the row's path, and the sentinel (everything outside the workspace) must
// be exactly as it was, bytes, modes and times, whatever the answers were.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Everything under |top| except the entry |skipped| directly beneath it.
std::map<std::string, std::string> snapshot(const fs::path& top, const std::string& skipped) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::directory_iterator(top)) {
    if (entry.path().filename() == skipped) continue;
    entries[entry.path().string()] = describeEntry(entry.path());
    if (entry.is_directory() && !entry.is_symlink()) {
      for (auto inner = fs::recursive_directory_iterator(entry.path());
           inner != fs::recursive_directory_iterator(); ++inner) {
        entries[inner->path().string()] = describeEntry(inner->path());
      }
    }
  }
  return entries;
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
    before_ = snapshot(top(), "ws");
  }

  [[nodiscard]] std::string top() const { return dir_.path(); }
  [[nodiscard]] std::string workspace() const { return dir_ / "ws"; }
  [[nodiscard]] std::map<std::string, std::string> sentinelNow() const {
    return snapshot(top(), "ws");
  }
  [[nodiscard]] const std::map<std::string, std::string>& sentinelBefore() const { return before_; }

 private:
  TempDir dir_;
  std::map<std::string, std::string> before_;
};

std::string replaceAll(const std::string& text, const std::string& from, const std::string& to) {
  std::string out;
  std::size_t start = 0;
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, start)) {
    out.append(text, start, at - start).append(to);
    start = at + from.size();
  }
  return out.append(text, start);
}

// How each operation is handed the path (already a JSON string literal).
struct Operation {
  std::string op;
  std::string (*fields)(const std::string& path);
};

std::string diffFor(const std::string& path) {
  // The path goes on the new-file line as written (a JSON literal without its quotes).
  const std::string bare = path.substr(1, path.size() - 2);
  return ",\"diff\":\"--- /dev/null\\n+++ " + bare + "\\n@@ -0,0 +1 @@\\n+x\\n\"";
}

const Operation kOperations[] = {
    {"write_file", [](const std::string& p) { return ",\"path\":" + p + ",\"content\":\"x\""; }},
    {"mkdir", [](const std::string& p) { return ",\"path\":" + p; }},
    {"delete_file", [](const std::string& p) { return ",\"path\":" + p; }},
    {"apply_diff", diffFor},
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

std::string repeat(const std::string& text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i)
    out += text;
  return out;
}

const std::vector<Row>& rows() {
  static const std::vector<Row> all = {
      {"parent", R"("..")", true},
      {"parent's file", R"("../outside/secret")", true},
      {"two up", R"("../../etc")", true},
      {"down then out", R"("sub/../../outside")", true},
      {"deep down then out", R"("sub/deep/../../../outside/new")", true},
      {"dot then out", R"("./../outside")", true},
      {"doubled separators out", R"("sub//..//..//outside")", true},
      {"white space around an escape", R"(" \n../outside\t")", true},
      {"thousands of parents", std::string("\"") + repeat("../", 2000) + "etc\"", true},
      {"absolute system file", R"("/etc/passwd")", true},
      {"file system root", R"("/")", true},
      {"absolute outside", R"("@T/outside/secret")", true},
      {"absolute outside, new", R"("@T/outside/new/file")", true},
      {"sibling with the root's name as prefix", R"("@T/ws2/x")", true},
      {"sibling itself", R"("@T/ws2")", true},
      {"root's name plus text", R"("@T/wsx")", true},
      {"absolute through the root's parent", R"("@T/ws/../ws2/x")", true},
      {"the root through another link", R"("@T/wslink/sub")", true},
      {"link out", R"("out")", true},
      {"link out, its file", R"("out/secret")", true},
      {"link out, new below", R"("out/new/deeper/file")", true},
      {"link out, trailing dot", R"("out/.")", true},
      {"absolute link to an outside file", R"("outabs")", true},
      {"link out at depth two", R"("sub/out2/x")", true},
      {"link out at depth three", R"("sub/deep/out3/y")", true},
      {"link out at depth three, itself", R"("sub/deep/out3")", true},
      {"link out of the isolation area", R"(".omvi/worktrees/escape/t2")", true},
      {"link to the parent", R"("up/outside/secret")", true},
      {"link to the parent, itself", R"("up")", true},
      {"link to the file system root", R"("slash/etc/passwd")", true},
      {"lexical parent of an inner link", R"("in/../../outside")", true},
      {"home", R"("~")", true},
      {"home, below", R"("~/x")", true},
      {"another user's home", R"("~root/x")", true},
      {"NUL", R"("a\u0000b")", true},
      {"NUL before an escape", R"("x\u0000/../../outside")", true},
      {"link loop", R"("loop1")", false},
      {"below a link loop", R"("loop1/x")", false},
      {"below a link to itself", R"("self/x")", false},
      {"dangling link out", R"("dangling")", false},
      {"below a dangling link out", R"("dangling/x/y")", false},
      {"dangling link out as the worktree", R"(".omvi/worktrees/dangling-wt")", false},
      {"out and back in", R"("upin/x")", false},
      {"file used as a directory", R"("file/x")", false},
      {"file used as a directory, deeper", R"("file/x/y/z")", false},
      {"very long component", std::string("\"") + std::string(300, 'a') + "\"", false},
      {"very long path", std::string("\"") + repeat("abcdefgh/", 500) + "f\"", false},
      {"trailing dot", R"("sub/.")", false},
      {"trailing parent, the root itself", R"("sub/..")", false},
      {"the root through an outward link and back", R"("out/..")", false},
  };
  return all;
}

TEST(HostilePaths, NothingOutsideTheWorkspaceChangesWhateverThePath) {
  useHermeticEnvironment();
  ASSERT_GE(rows().size(), 40U);
  // A sanitizer build sets a scene for every fourth row only: the scenes are what cost.
  constexpr std::size_t kStride = OMVI_SANITIZED ? 4 : 1;
  forEachInParallel(rows().size(), [&](std::size_t index) {
    if (index % kStride != 0) return;
    const Row& row = rows()[index];
    const Way way = kWays[(index / kStride) % std::size(kWays)];  // each way in, in turn
    const Scene scene;
    const std::string path = replaceAll(row.path, "@T", scene.top());
    for (const Operation& operation : kOperations) {
      // A line break would end the diff's new-file line early: that diff names another path.
      if (operation.op == "apply_diff" && path.find("\\n") != std::string::npos) continue;
      const std::string what = row.name + " with " + operation.op + " over " + nameOf(way);
      const std::string request = "{\"op\":\"" + operation.op +
                                  "\",\"workspace_root\":" + quote(scene.workspace()) +
                                  operation.fields(path) + "}";
      const std::string error = expectAnswer(send(way, request), {kOk, kFailed}, what);
      if (row.refused) {
        EXPECT_EQ(error, "path_outside_workspace") << what;
      }
    }
    EXPECT_EQ(scene.sentinelNow(), scene.sentinelBefore()) << row.name;
  });
}

}  // namespace
}  // namespace omvi_test
