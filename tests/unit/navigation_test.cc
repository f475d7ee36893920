// The reading and navigation tools against real directories: confinement, read windows and
// ceilings, images, trees, search, grep with both engines, info, move and edit.
#include "runner/files/navigation.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "runner/files/confined_reach.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

namespace fs = std::filesystem;

void put(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string slurp(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// ws/ holds text, a tree, and links in and out; outside/ holds what must stay unreachable.
class Navigation : public ::testing::Test {
 protected:
  void SetUp() override {
    put(dir / "outside/secret.txt", "needle secret\n");
    put(ws + "/a.txt", "l1\nl2\nl3\nl4\nl5\n");
    put(ws + "/src/main.c", "int main;\n// needle one\n");
    put(ws + "/src/deep/x.c", "-needle dash\n");
    put(ws + "/build/x.o", "obj");
    fs::create_directory_symlink(dir / "outside", ws + "/out");
    fs::create_symlink(dir / "outside/secret.txt", ws + "/outfile");
    fs::create_directory_symlink(ws + "/src", ws + "/in");
  }
  omvi_test::TempDir dir;
  std::string ws = dir / "ws";
};

TEST_F(Navigation, EveryToolRefusesPathsLeavingTheRoot) {
  for (const std::string bad : {"../outside/secret.txt", "/etc/passwd", "out/secret.txt", "outfile",
                                "src/../../outside", "out"}) {
    SCOPED_TRACE(bad);
    const std::string refused = "path_outside_workspace";
    EXPECT_EQ(readFile(ws, bad).error, refused);
    EXPECT_EQ(getFileInfo(ws, bad).error, refused);
    EXPECT_EQ(listDirectory(ws, bad).error, refused);
    EXPECT_EQ(searchFiles(ws, bad, "*").error, refused);
    EXPECT_EQ(grep(ws, bad, "needle").error, refused);
    EXPECT_EQ(editFile(ws, bad, {{"needle", "x"}}).error, refused);
    EXPECT_EQ(moveFile(ws, "a.txt", bad).error, refused);
    EXPECT_EQ(moveFile(ws, bad, "moved").error, refused);
  }
  EXPECT_EQ(readFile("", "a.txt").error, "path_outside_workspace");
  // Below the string check, the descriptor walk refuses a real place outside on its own.
  EXPECT_EQ(openConfined(ws, ws + "/out/secret.txt", O_RDONLY).error, EXDEV);
  EXPECT_EQ(readFile(ws, "in/main.c").text, "int main;\n// needle one\n");  // in-root link
  EXPECT_EQ(slurp(dir / "outside/secret.txt"), "needle secret\n");
}

TEST_F(Navigation, ReadSelectsLinesWithinTheCeiling) {
  put(ws + "/nolf.txt", "a\nb");
  put(ws + "/latin.txt", "caf\xE9\n");
  put(ws + "/nul.bin", std::string("a\0b\n", 4));
  struct Row {
    const char* path;
    ReadFileOptions options;
    std::string text;  ///< or the error's beginning when it starts with '!'
    std::optional<std::int64_t> start{}, end{};
    const char* note = "";
  };
  const Row rows[] = {
      {"a.txt", {}, "l1\nl2\nl3\nl4\nl5\n", 1, 5},
      {"a.txt", {.offset = 2, .limit = 2}, "l2\nl3\n", 2, 3},
      {"a.txt", {.head = 2}, "l1\nl2\n", 1, 2},
      {"a.txt", {.tail = 2}, "l4\nl5\n", {}, {}},
      {"a.txt", {.tail = 9}, "l1\nl2\nl3\nl4\nl5\n", {}, {}},
      {"nolf.txt", {.tail = 1}, "b", {}, {}},
      {"a.txt", {.offset = 9}, "", {}, {}, "offset 9 is past the end of the file (5 lines)"},
      {"a.txt", {.maxBytes = 7}, "l1\nl2\n", 1, 2, "after line 2; continue with offset 3"},
      {"a.txt", {.tail = 5, .maxBytes = 7}, "l4\nl5\n", {}, {}, "not shown"},
      {"a.txt", {.maxBytes = 2}, "l1", 1, 1, "inside line 1"},
      {"latin.txt", {}, "caf\xEF\xBF\xBD\n", 1, 1, "replaced with U+FFFD"},
      {"a.txt", {.head = 1, .tail = 1}, "!invalid_argument", {}, {}},
      {"a.txt", {.offset = 0}, "!invalid_argument", {}, {}},
      {"nul.bin", {}, "!binary_file", {}, {}},
      {"src", {}, "!not_a_file", {}, {}},
      {"missing.txt", {}, "!not_found: " + ws + "/missing.txt", {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.path) + " -> " + row.text);
    const ReadFileResult result = readFile(ws, row.path, row.options);
    if (row.text.starts_with('!')) {
      EXPECT_TRUE(result.error && result.error->starts_with(row.text.substr(1))) << *result.error;
      continue;
    }
    ASSERT_FALSE(result.error) << *result.error;
    EXPECT_EQ(result.text, row.text);
    EXPECT_EQ(result.startLine, row.start);
    EXPECT_EQ(result.endLine, row.end);
    EXPECT_EQ(result.truncated, std::string(row.note).find("offset 3") != std::string::npos ||
                                    std::string(row.note).find("line 1") != std::string::npos ||
                                    std::string(row.note).find("shown") != std::string::npos);
    EXPECT_NE(result.note.value_or("").find(row.note), std::string::npos) << *result.note;
  }
}

// A FIFO (as a device would) answers to its open; the reading tools judge the type first
// and never open it, through an in-root link either. inotify sees every open but O_PATH's.
TEST_F(Navigation, ReadingToolsNeverOpenWhatIsNotAFile) {
  const std::string pipe = ws + "/pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  fs::create_symlink("pipe", ws + "/to-pipe");
  const UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch.valid());
  ASSERT_GE(inotify_add_watch(watch.get(), pipe.c_str(), IN_OPEN), 0);
  const auto opens = [&] {
    int count = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(watch.get(), events, sizeof events)) > 0;)
      count += static_cast<int>(static_cast<std::size_t>(got) / sizeof(inotify_event));
    return count;
  };
  for (const std::string path : {"pipe", "to-pipe"}) {
    SCOPED_TRACE(path);
    const std::string named = ws + "/" + path;
    EXPECT_EQ(readFile(ws, path).error, "not_a_file: " + named + " is not a regular file");
    EXPECT_EQ(editFile(ws, path, {{"a", "b"}}).error, "not_a_file: " + named);
  }
  EXPECT_EQ(opens(), 0);
  // The watch does see an open: the check above is not vacuous.
  const UniqueFd reader(::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.valid());
  EXPECT_EQ(opens(), 1);
}

TEST_F(Navigation, ImagesAreSniffedAndSentWhole) {
  put(ws + "/pic.dat", "\x89PNG\r\n\x1a\nab");
  put(ws + "/anim.gif", "GIF89a!");
  const ReadFileResult png = readFile(ws, "pic.dat");
  EXPECT_TRUE(png.isImage);
  EXPECT_EQ(png.mimeType, "image/png");
  EXPECT_EQ(png.text, "iVBORw0KGgphYg==");
  EXPECT_EQ(readFile(ws, "anim.gif").text, "R0lGODlhIQ==");
  EXPECT_TRUE(readFile(ws, "pic.dat", {.maxImageBytes = 5}).error->starts_with("too_large"));

  const auto many = readMultipleFiles(ws, {"../outside/secret.txt", "nope", "a.txt", "pic.dat"}, {},
                                      /*totalBytes=*/15);
  ASSERT_EQ(many.size(), 4U);
  EXPECT_EQ(many[0].error, "path_outside_workspace");
  EXPECT_EQ(many[1].error, "not_found: " + ws + "/nope");
  EXPECT_EQ(many[2].text, "l1\nl2\nl3\nl4\nl5\n");
  EXPECT_TRUE(many[3].error->starts_with("skipped: the total byte ceiling")) << *many[3].error;
}

std::vector<std::string> describe(const std::vector<DirectoryEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& entry : entries) {
    std::string line = entry.path;
    line.append(" ").append(entryTypeName(entry.type));
    if (entry.size) line.append(" ").append(std::to_string(*entry.size));
    out.push_back(std::move(line));
  }
  return out;
}

TEST_F(Navigation, ListsTreesWithoutEnteringLinksOrExclusions) {
  using V = std::vector<std::string>;
  EXPECT_EQ(describe(listDirectory(ws, "").entries),
            (V{"a.txt file 15", "build directory", "in symlink", "out symlink", "outfile symlink",
               "src directory"}));
  EXPECT_EQ(
      describe(listDirectory(ws, ".", {.depth = 3, .exclude = {"build", "*.txt", "out*"}}).entries),
      (V{"in symlink", "src directory", "src/deep directory", "src/deep/x.c file 13",
         "src/main.c file 24"}));
  EXPECT_EQ(describe(listDirectory(ws, "src", {.depth = 2, .exclude = {"deep/*"}}).entries),
            (V{"deep directory", "main.c file 24"}));
  const auto capped = listDirectory(ws, "", {.maxEntries = 2});
  EXPECT_EQ(describe(capped.entries), (V{"a.txt file 15", "build directory"}));
  EXPECT_TRUE(capped.truncated && capped.note);
  // A cut listing holds the first names in order, whatever order the directory keeps them in.
  for (int i = 49; i >= 0; --i)
    put(ws + "/wide/f" + std::to_string(100 + (i * 17) % 50), "");
  const auto wide = listDirectory(ws, "wide", {.maxEntries = 3});
  EXPECT_EQ(describe(wide.entries), (V{"f100 file 0", "f101 file 0", "f102 file 0"}));
  EXPECT_TRUE(wide.truncated);
  EXPECT_TRUE(listDirectory(ws, "a.txt").error->starts_with("not_a_directory"));
  EXPECT_TRUE(listDirectory(ws, "", {.depth = 0}).error->starts_with("invalid_argument"));

  EXPECT_EQ(describe(searchFiles(ws, "", "*.c").matches),
            (V{"src/deep/x.c file 13", "src/main.c file 24"}));
  EXPECT_EQ(describe(searchFiles(ws, "src", "**/deep/*", {.exclude = {"*.o"}}).matches),
            (V{"src/deep/x.c file 13"}));
  EXPECT_TRUE(searchFiles(ws, "", "*", {.maxResults = 3}).truncated);
}

TEST_F(Navigation, GrepsWithRipgrepAndGitGrep) {
  EXPECT_TRUE(grep(dir / "outside", "", "x", {.engine = GrepEngine::kGitGrep})
                  .error->starts_with("grep_unavailable"));
  put(ws + "/latin.txt", "caf\xE9 hay\n");
  put(ws + "/hay.txt", "hay\n");
  omvi_test::makeRepository(ws, /*commit=*/false);
  for (const GrepEngine engine : {GrepEngine::kGitGrep, GrepEngine::kRipgrep}) {
    SCOPED_TRACE(engine == GrepEngine::kRipgrep ? "rg" : "git grep");
    if (engine == GrepEngine::kRipgrep && ::access("/usr/bin/rg", X_OK) != 0) {
      GTEST_SKIP() << "ripgrep is not installed (/usr/bin/rg); apt-get install ripgrep";
    }
    GrepResult found = grep(ws, "", "needle", {.engine = engine});
    ASSERT_FALSE(found.error) << *found.error;
    std::vector<std::string> lines;
    for (const auto& match : found.matches) {
      lines.push_back(match.file + ":" + std::to_string(match.line) + ":" + match.text);
    }
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"src/deep/x.c:1:-needle dash",
                                               "src/main.c:2:// needle one"}));
    // A pattern beginning with "-" is a pattern; paths answer from the workspace root.
    found = grep(ws, "src", "-NEEDLE", {.ignoreCase = true, .engine = engine});
    ASSERT_EQ(found.matches.size(), 1U);
    EXPECT_EQ(found.matches[0].file, "src/deep/x.c");
    EXPECT_TRUE(grep(ws, "", "needle", {.maxMatches = 1, .engine = engine}).truncated);
    EXPECT_EQ(grep(ws, "", "needle", {.include = "main.*", .engine = engine}).matches.size(), 1U);
    EXPECT_TRUE(grep(ws, "", "(", {.engine = engine}).error->starts_with("grep_failed"));
    // A file that is not UTF-8 costs its own bytes a U+FFFD each, not the other matches.
    found = grep(ws, "", "hay", {.engine = engine});
    ASSERT_FALSE(found.error) << *found.error;
    lines.clear();
    for (const auto& match : found.matches)
      lines.push_back(match.file + ":" + match.text);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"hay.txt:hay", "latin.txt:caf\uFFFD hay"}));
  }
}

TEST_F(Navigation, InfoDescribesTheEntryItself) {
  ::chmod((ws + "/a.txt").c_str(), 0640);
  const FileInfo file = getFileInfo(ws, "a.txt");
  EXPECT_EQ(file.type, EntryType::kFile);
  EXPECT_EQ(file.size, 15);
  EXPECT_EQ(file.permissions, "0640");
  EXPECT_EQ(file.modified.size(), 20U);  // 2026-01-31T12:00:00Z
  const FileInfo link = getFileInfo(ws, "in");
  EXPECT_EQ(link.type, EntryType::kSymlink);
  EXPECT_EQ(link.linkTarget, ws + "/src");
  EXPECT_EQ(getFileInfo(ws, ".").type, EntryType::kDirectory);
  EXPECT_EQ(getFileInfo(ws, "gone").error, "not_found: " + ws + "/gone");
}

TEST_F(Navigation, MoveNeverOverwrites) {
  EXPECT_EQ(moveFile(ws, "a.txt", "src/main.c").error,
            "destination_exists: " + ws + "/src/main.c is already there");
  EXPECT_EQ(slurp(ws + "/src/main.c"), "int main;\n// needle one\n");
  EXPECT_TRUE(moveFile(ws, "a.txt", "no/dir/a.txt").error->starts_with("not_found"));
  EXPECT_TRUE(moveFile(ws, ".", "elsewhere").error->starts_with("invalid_argument"));
  const MoveResult moved = moveFile(ws, "in", "src/deep/link");  // the link, not its target
  ASSERT_FALSE(moved.error) << *moved.error;
  EXPECT_TRUE(fs::is_symlink(ws + "/src/deep/link"));
  EXPECT_TRUE(fs::is_directory(ws + "/src"));
}

TEST_F(Navigation, EditsAllOrNothingWithAnExactDiff) {
  std::string lines;
  for (int i = 1; i <= 20; ++i)
    lines += std::to_string(i) + "\n";
  put(ws + "/n.txt", lines);
  ::chmod((ws + "/n.txt").c_str(), 0640);
  EXPECT_EQ(editFile(ws, "n.txt", {{"\n2\n", "\ntwo\n"}, {"nope", "x"}}).error,
            "edit_failed: edit 2: the old text was not found");
  EXPECT_TRUE(editFile(ws, "n.txt", {{"1", "one"}})
                  .error->starts_with("edit_failed: edit 1: "
                                      "the old text occurs"));
  EXPECT_EQ(slurp(ws + "/n.txt"), lines);

  const std::string diff =
      "--- a/n.txt\n+++ b/n.txt\n"
      "@@ -1,5 +1,5 @@\n 1\n-2\n+two\n 3\n 4\n 5\n"
      "@@ -12,8 +12,7 @@\n 12\n 13\n 14\n-15\n-16\n+sixteen\n 17\n 18\n 19\n";
  const std::vector<TextEdit> edits = {{"\n2\n", "\ntwo\n"}, {"15\n16\n", "sixteen\n"}};
  EXPECT_EQ(editFile(ws, "n.txt", edits, {.dryRun = true}).diff, diff);
  EXPECT_EQ(slurp(ws + "/n.txt"), lines);
  const EditFileResult edited = editFile(ws, "n.txt", edits);
  ASSERT_FALSE(edited.error) << *edited.error;
  EXPECT_EQ(edited.diff, diff);
  EXPECT_TRUE(edited.written);
  EXPECT_EQ(slurp(ws + "/n.txt").substr(0, 7), "1\ntwo\n3");
  struct stat status {};
  ASSERT_EQ(::stat((ws + "/n.txt").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  EXPECT_EQ(std::distance(fs::directory_iterator(ws), fs::directory_iterator()), 7);  // no temp

  EXPECT_EQ(unifiedDiff("x\ny", "x\nz", "f"),
            "--- a/f\n+++ b/f\n@@ -1,2 +1,2 @@\n x\n-y\n\\ No newline at end of file\n+z\n"
            "\\ No newline at end of file\n");
  EXPECT_EQ(unifiedDiff("", "a\n", "f"), "--- a/f\n+++ b/f\n@@ -0,0 +1 @@\n+a\n");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
