// Reading and navigating the workspace: the read, list, search, grep, info, move and edit tools.
//
// Every function takes the workspace root as the request names it (resolved here with
// `resolveRoot`) and path texts relative to it or absolute inside it. Each path is judged by
// `authorize` first ("path_outside_workspace" when refused), then reached from a descriptor of
// the real root without following any symbolic link on the way (confined_reach.h), so a
// directory swapped for a link after the check cannot carry an action outside.
//
// Owns: the tools' limits, their result records and their error texts. Does not own: which
// paths are allowed (workspace.h), the child runs of grep (process.h), protocol framing.
// Never throws; every failure is the result's `error`, in the runner's style: a short code,
// then ": " and the detail ("not_found: /ws/a.txt", "read_failed: Permission denied").
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace OmviAgentRunnerMain {

inline constexpr std::size_t kDefaultReadCeiling = std::size_t{1} << 20;       // 1 MiB of text
inline constexpr std::size_t kDefaultImageCeiling = std::size_t{5} << 20;      // 5 MiB per image
inline constexpr std::size_t kDefaultReadTotalCeiling = std::size_t{4} << 20;  // several files
inline constexpr std::size_t kMaxFilesPerRead = 64;
inline constexpr std::size_t kDefaultEntryCap = 1000;
inline constexpr int kMaxListDepth = 10;
inline constexpr int kMaxSearchDepth = 64;
inline constexpr std::size_t kMaxVisitedEntries = 200000;
inline constexpr std::size_t kDefaultMatchCap = 200;
inline constexpr std::size_t kGrepLineTextCap = 300;  ///< bytes of each matched line kept
inline constexpr std::size_t kDefaultEditCeiling = std::size_t{8} << 20;  // file size for edits

/// What kind of entry a name stands for, by lstat: a link is never followed.
enum class EntryType { kFile, kDirectory, kSymlink, kOther };

/// "file", "directory", "symlink", "other".
[[nodiscard]] const char* entryTypeName(EntryType type);

// ---- read_file, read_multiple_files ---------------------------------------------------------

struct ReadFileOptions {
  std::optional<std::int64_t> offset{};  ///< first line to return, counted from 1
  std::optional<std::int64_t> limit{};   ///< lines from |offset| (or from the first line)
  std::optional<std::int64_t> head{};    ///< the first N lines; not with tail, offset or limit
  std::optional<std::int64_t> tail{};    ///< the last N lines; not with head, offset or limit
  std::size_t maxBytes = kDefaultReadCeiling;        ///< text returned at most
  std::size_t maxImageBytes = kDefaultImageCeiling;  ///< an image larger is refused, not cut
};

struct ReadFileResult {
  std::optional<std::string> error;
  std::string path;  ///< the authorized path (for read_multiple_files: as asked when refused)
  bool isImage = false;
  std::string mimeType;  ///< "text/plain", or the image's type ("image/png", ...)
  std::string text;      ///< the selected lines (valid UTF-8), or the image as base64
  std::optional<std::int64_t> startLine;  ///< the first line shown; unknown for tail
  std::optional<std::int64_t> endLine;    ///< the last line shown; unknown for tail
  std::int64_t fileSize = 0;              ///< bytes
  bool truncated = false;                 ///< the byte ceiling cut the selection
  std::optional<std::string> note;        ///< why and where it was cut, lossy decoding
};

/// Reads a text file, whole or a window of lines (offset/limit, head or tail), or an image
/// (PNG, JPEG, GIF, WebP, told by their first bytes, whatever the name) as base64 with its MIME
/// type. Follows in-root links only. Refuses directories and special files ("not_a_file"),
/// files holding NUL bytes ("binary_file"), images over |maxImageBytes| ("too_large"), and
/// head/tail mixed with each other or with offset/limit ("invalid_argument"). Reads at most
/// |maxBytes| of text: a longer selection is cut at its last whole line, with `truncated` and a
/// note saying where to continue. Bytes that are not valid UTF-8 become U+FFFD, with a note.
[[nodiscard]] ReadFileResult readFile(const std::string& workspaceRoot, const std::string& path,
                                      const ReadFileOptions& options = {});

/// Reads each of |paths| as `readFile` does, each with its own result or error: one bad path
/// never fails the others. At most kMaxFilesPerRead paths (more: "invalid_argument" on the
/// extra ones); all texts together at most |totalBytes|, after which files are answered with
/// "skipped: the total byte ceiling ... was reached".
[[nodiscard]] std::vector<ReadFileResult> readMultipleFiles(
    const std::string& workspaceRoot, const std::vector<std::string>& paths,
    const ReadFileOptions& options = {}, std::size_t totalBytes = kDefaultReadTotalCeiling);

// ---- list_directory, search_files -----------------------------------------------------------

struct DirectoryEntry {
  std::string path;  ///< list: relative to the listed directory; search: to the workspace root
  EntryType type = EntryType::kOther;
  std::optional<std::int64_t> size;  ///< bytes, regular files only
  int depth = 1;                     ///< 1 for the listed directory's own entries
};

struct ListDirectoryOptions {
  int depth = 1;  ///< 1: the directory's own entries; up to kMaxListDepth for a tree
  /// Globs; a pattern without "/" matches names at any depth ("*.log", "node_modules"), one
  /// with "/" the relative path ("build/*", "**/gen/*"); "*" also matches "/". An excluded
  /// directory is not entered.
  std::vector<std::string> exclude{};
  std::size_t maxEntries = kDefaultEntryCap;
};

struct ListDirectoryResult {
  std::optional<std::string> error;
  std::string path;                     ///< the authorized path
  std::vector<DirectoryEntry> entries;  ///< sorted by name in each directory, depth first
  bool truncated = false;
  std::optional<std::string> note;
};

/// Lists a directory (the workspace root when |path| is empty): names, types, sizes, as a tree
/// down to |depth| levels. Never enters a symbolic link (it is listed as "symlink"), nor an
/// excluded directory. At most |maxEntries| entries, with `truncated` and a note beyond.
/// Refuses a path that is not a directory ("not_a_directory").
[[nodiscard]] ListDirectoryResult listDirectory(const std::string& workspaceRoot,
                                                const std::string& path,
                                                const ListDirectoryOptions& options = {});

struct SearchFilesOptions {
  std::vector<std::string> exclude{};  ///< as for listDirectory
  std::size_t maxResults = kDefaultEntryCap;
};

struct SearchFilesResult {
  std::optional<std::string> error;
  std::string path;                     ///< the authorized path searched beneath
  std::vector<DirectoryEntry> matches;  ///< paths relative to the workspace root
  bool truncated = false;
  std::optional<std::string> note;
};

/// Finds the entries beneath |path| (the root when empty) whose name (a pattern without "/")
/// or relative path (with "/") matches the glob |pattern|. Never follows a symbolic link, never
/// descends below kMaxSearchDepth levels, looks at no more than kMaxVisitedEntries entries and
/// answers at most |maxResults|, each cut with `truncated` and a note.
[[nodiscard]] SearchFilesResult searchFiles(const std::string& workspaceRoot,
                                            const std::string& path, const std::string& pattern,
                                            const SearchFilesOptions& options = {});

// ---- grep -----------------------------------------------------------------------------------

enum class GrepEngine { kAuto, kRipgrep, kGitGrep };

struct GrepOptions {
  std::optional<std::string> include{};  ///< a glob on file names, as rg --glob
  bool ignoreCase = false;
  std::size_t maxMatches = kDefaultMatchCap;
  double timeout = 30.0;                  ///< seconds
  GrepEngine engine = GrepEngine::kAuto;  ///< kAuto: ripgrep when installed, else git grep
  std::string ripgrepExecutable = "/usr/bin/rg";
};

struct GrepMatch {
  std::string file;  ///< relative to the workspace root
  std::int64_t line = 0;
  std::string text;  ///< the line, at most kGrepLineTextCap bytes
};

struct GrepResult {
  std::optional<std::string> error;
  std::string path;    ///< the authorized path searched beneath
  std::string engine;  ///< "rg" or "git grep"
  std::vector<GrepMatch> matches;
  bool truncated = false;
  std::optional<std::string> note;
};

/// Searches file contents beneath |path| (the root when empty) for the regular expression
/// |pattern| (ripgrep's syntax with rg; POSIX extended with git grep), answering file, line
/// number and line text. Uses rg when installed (skipping hidden and ignored files, as rg does),
/// else git grep inside a repository (tracked and untracked, not ignored), else fails with
/// "grep_unavailable". Binary files are skipped; symbolic links are never followed; the child
/// starts in the very directory that was checked, under |timeout| ("timeout"). Output is capped
/// (at most |maxMatches| matches, and the child's capped output) with `truncated` and a note.
/// A pattern the engine rejects fails with "grep_failed: " and the engine's message.
[[nodiscard]] GrepResult grep(const std::string& workspaceRoot, const std::string& path,
                              const std::string& pattern, const GrepOptions& options = {});

// ---- get_file_info --------------------------------------------------------------------------

struct FileInfo {
  std::optional<std::string> error;
  std::string path;
  EntryType type = EntryType::kOther;
  std::int64_t size = 0;
  std::string permissions;  ///< octal, "0644"
  std::string modified;     ///< ISO 8601 UTC, "2026-01-31T12:00:00Z"
  std::string accessed;
  std::string changed;                    ///< the inode's last change
  std::optional<std::string> linkTarget;  ///< for a symbolic link: its text, not followed
};

/// Describes the entry at |path| as lstat does: a symbolic link is described itself, with its
/// target text. Fails with "not_found" when nothing is there.
[[nodiscard]] FileInfo getFileInfo(const std::string& workspaceRoot, const std::string& path);

// ---- move_file, edit_file -------------------------------------------------------------------

struct MoveResult {
  std::optional<std::string> error;
  std::string source;       ///< authorized
  std::string destination;  ///< authorized
};

/// Moves or renames the entry at |source| (a link is moved, never followed) to |destination|,
/// both inside the workspace, in one rename. Refuses an existing destination
/// ("destination_exists"), the workspace root itself, and a missing destination directory
/// ("not_found"); it never overwrites and never copies.
[[nodiscard]] MoveResult moveFile(const std::string& workspaceRoot, const std::string& source,
                                  const std::string& destination);

struct TextEdit {
  std::string oldText;  ///< exact bytes; must occur exactly once
  std::string newText;
};

struct EditFileOptions {
  bool dryRun = false;                         ///< answer the diff, write nothing
  std::size_t maxBytes = kDefaultEditCeiling;  ///< larger files are refused ("too_large")
};

struct EditFileResult {
  std::optional<std::string> error;
  std::string path;
  std::string diff;  ///< unified, 3 lines of context, "--- a/<relative>" / "+++ b/<relative>"
  bool written = false;
  std::int64_t writtenBytes = 0;
};

/// Applies |edits| to the text file at |path| in order, each to the text the previous ones
/// left: each old text must occur exactly once, else the whole edit fails naming the edit
/// ("edit_failed: edit 2: ..."), and nothing is written. On success the file is replaced
/// atomically (a synced temporary file renamed over it, the file's mode kept) unless |dryRun|;
/// either way the unified diff is answered. Refuses a file changed during the edit.
[[nodiscard]] EditFileResult editFile(const std::string& workspaceRoot, const std::string& path,
                                      const std::vector<TextEdit>& edits,
                                      const EditFileOptions& options = {});

/// The unified diff from |before| to |after| (compared by lines) with 3 lines of context under
/// "--- a/<label>" and "+++ b/<label>"; "" when they are equal. A last line without a line feed
/// is marked "\ No newline at end of file".
[[nodiscard]] std::string unifiedDiff(const std::string& before, const std::string& after,
                                      const std::string& label);

}  // namespace OmviAgentRunnerMain
