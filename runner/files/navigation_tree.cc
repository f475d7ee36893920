// list_directory and search_files: one walk over descriptors that never follows a link.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "runner/files/confined_reach.h"
#include "runner/files/navigation.h"
#include "runner/guard/workspace.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

// A pattern without "/" is matched against the name, one with "/" against the relative path;
// "*" crosses "/", and a leading "**/" may also match nothing.
bool globMatches(const std::string& pattern, const std::string& name, const std::string& relative) {
  if (pattern.find('/') == std::string::npos) return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
  std::string_view rest = pattern;
  while (true) {
    if (fnmatch(std::string(rest).c_str(), relative.c_str(), 0) == 0) return true;
    if (!rest.starts_with("**/")) return false;
    rest.remove_prefix(3);
  }
}

bool anyMatches(const std::vector<std::string>& patterns, const std::string& name,
                const std::string& relative) {
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
    return globMatches(pattern, name, relative);
  });
}

// A directory entry's name and the type the directory gives for it (DT_*).
struct Name {
  std::string text;
  unsigned char type = DT_UNKNOWN;
  bool operator<(const Name& other) const { return text < other.text; }
};

// One walk: visits entries depth first, sorted by name within a directory, down to |maxDepth|.
// |visit| answers false to stop the walk.
struct Walk {
  int maxDepth = 1;
  std::size_t nameCap = kDefaultEntryCap;  ///< names kept of one directory, the first in order
  const std::vector<std::string>* exclude = nullptr;
  std::function<bool(const DirectoryEntry&, const std::string& name)> visit;
  std::size_t visited = 0;
  bool namesCut = false;
  bool stopped = false;

  void directory(int fd, const std::string& prefix, int depth) {
    // A fresh descriptor of the same directory, for its own read position.
    const int listFd = openat(fd, ".", O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    if (listFd < 0) return;
    DIR* stream = fdopendir(listFd);
    if (stream == nullptr) {
      close(listFd);
      return;
    }
    // The first |nameCap| names in order, whatever order the directory gives them in, in
    // memory for twice the cap at most: whenever that many are held, the smallest |nameCap|
    // are kept, and the greatest of them bounds every name read after.
    std::vector<Name> names;
    std::string bound;
    auto keepSmallest = [&] {
      const auto last = names.begin() + static_cast<std::ptrdiff_t>(nameCap) - 1;
      std::nth_element(names.begin(), last, names.end());
      names.resize(nameCap);
      bound = names.back().text;
      namesCut = true;
    };
    while (const dirent* entry = readdir(stream)) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (namesCut && name >= bound) continue;
      names.push_back({std::string(name), entry->d_type});
      if (names.size() >= 2 * nameCap) keepSmallest();
    }
    closedir(stream);
    if (names.size() > nameCap) keepSmallest();
    std::sort(names.begin(), names.end());
    for (const auto& [name, type] : names) {
      if (stopped) return;
      if (++visited > kMaxVisitedEntries) {
        stopped = namesCut = true;
        return;
      }
      std::string relative = prefix;
      if (!relative.empty()) relative.push_back('/');
      relative.append(name);
      if (exclude != nullptr && anyMatches(*exclude, name, relative)) continue;
      // The directory's own word on the type spares a look at each entry; only a file's size,
      // or a type the file system does not give, needs one.
      struct stat status {};
      status.st_mode = DTTOIF(type);
      if ((type == DT_REG || type == DT_UNKNOWN) &&
          fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        continue;
      }
      DirectoryEntry entry{relative, entryTypeOf(status.st_mode), std::nullopt, depth};
      if (S_ISREG(status.st_mode)) entry.size = status.st_size;
      if (!visit(entry, name)) {
        stopped = true;
        return;
      }
      if (S_ISDIR(status.st_mode) && depth < maxDepth) {
        // O_NOFOLLOW: a directory swapped for a link since it was read is not entered.
        const UniqueFd child(
            openat(fd, name.c_str(), O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC));
        if (child.valid()) directory(child.get(), relative, depth + 1);
      }
    }
  }
};

// Opens the directory |path| for a walk; the descriptor, or the error text.
struct OpenedTree {
  Target target;
  UniqueFd fd;
};

OpenedTree openTree(const std::string& workspaceRoot, const std::string& path) {
  OpenedTree tree{authorizeTarget(workspaceRoot, trimmed(path).empty() ? "." : path), UniqueFd()};
  if (tree.target.error) return tree;
  Reached opened = openConfined(tree.target.root, tree.target.path, O_DIRECTORY | O_RDONLY);
  if (opened.error == ENOTDIR) {
    tree.target.error = "not_a_directory: " + tree.target.path;
  } else if (opened.error != 0) {
    tree.target.error = describeFailure("list_failed", tree.target.path, opened.error);
  }
  tree.fd = std::move(opened.fd);
  return tree;
}

}  // namespace

ListDirectoryResult listDirectory(const std::string& workspaceRoot, const std::string& path,
                                  const ListDirectoryOptions& options) {
  ListDirectoryResult result;
  OpenedTree tree = openTree(workspaceRoot, path);
  result.path = tree.target.error ? path : tree.target.path;
  if ((result.error = tree.target.error)) return result;
  if (options.depth < 1 || options.depth > kMaxListDepth) {
    result.error =
        "invalid_argument: depth must lie between 1 and " + std::to_string(kMaxListDepth);
    return result;
  }
  Walk walk;
  walk.maxDepth = options.depth;
  walk.nameCap = options.maxEntries + 1;
  walk.exclude = &options.exclude;
  walk.visit = [&](const DirectoryEntry& entry, const std::string&) {
    if (result.entries.size() >= options.maxEntries) {
      result.truncated = true;
      return false;
    }
    result.entries.push_back(entry);
    return true;
  };
  walk.directory(tree.fd.get(), "", 1);
  if (walk.namesCut) result.truncated = true;
  if (result.truncated) {
    result.note = "listing cut at " + std::to_string(result.entries.size()) +
                  " entries; list a subdirectory, lower the depth or add exclude patterns";
  }
  return result;
}

SearchFilesResult searchFiles(const std::string& workspaceRoot, const std::string& path,
                              const std::string& pattern, const SearchFilesOptions& options) {
  SearchFilesResult result;
  if (pattern.empty()) {
    result.error = "pattern is required";
    return result;
  }
  OpenedTree tree = openTree(workspaceRoot, path);
  result.path = tree.target.error ? path : tree.target.path;
  if ((result.error = tree.target.error)) return result;
  const std::string base = workspaceRelativePathspec(tree.target.path, tree.target.root);
  Walk walk;
  walk.maxDepth = kMaxSearchDepth;
  walk.nameCap = kMaxVisitedEntries;
  walk.exclude = &options.exclude;
  walk.visit = [&](const DirectoryEntry& entry, const std::string& name) {
    if (!globMatches(pattern, name, entry.path)) return true;
    if (result.matches.size() >= options.maxResults) {
      result.truncated = true;
      return false;
    }
    DirectoryEntry& match = result.matches.emplace_back(entry);
    if (base != ".") match.path = base + "/" + entry.path;
    return true;
  };
  walk.directory(tree.fd.get(), "", 1);
  if (result.truncated) {
    result.note = "stopped at " + std::to_string(options.maxResults) +
                  " matches; narrow the pattern or the path";
  } else if (walk.namesCut) {
    result.truncated = true;
    result.note = "stopped after looking at " + std::to_string(kMaxVisitedEntries) +
                  " entries; narrow the path";
  }
  return result;
}

}  // namespace OmviAgentRunnerMain
