#include "runner/files/confined_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/posix.h"

namespace OmviAgentRunnerMain {
namespace {

// A failed system call: what it was acting on, and errno.
struct SysError {
  std::string path;
  int error = 0;
};

std::string describe(const SysError& failure) {
  if (failure.error == ELOOP) {
    return failure.path + ": a symbolic link stands where a directory was expected";
  }
  return failure.path + ": " + errnoText(failure.error);
}

std::vector<std::string> componentsOf(std::string_view path) {
  std::vector<std::string> parts;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const auto part = path.substr(0, slash);
    if (!part.empty()) parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// The real form of |path|: its nearest existing ancestor resolved through links, with the
// components that do not exist yet appended unchanged; "" when it cannot be known.
std::string realFormOf(const std::string& path) {
  const ExistingAncestor existing = nearestExistingAncestor(path);
  if (!existing.real) return {};
  return appendingPathComponent(*existing.real, std::string_view(path).substr(existing.length));
}

// A component that moves within the tree rather than down it: never walked.
bool isStep(std::string_view part) {
  return part.empty() || part == "." || part == "..";
}

// Opens the directory |relative| below |base| without following any link; with |create|,
// missing directories are made on the way.
struct OpenedDirectory {
  UniqueFd fd;
  std::optional<SysError> error;
};

OpenedDirectory openBeneath(int base, const std::string& basePath,
                            const std::vector<std::string>& relative, std::size_t count,
                            bool create) {
  std::string joined;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) joined.push_back('/');
    joined.append(relative[i]);
  }
  if (joined.empty()) joined.assign(1, '.');

  // One call for the whole way when the kernel has openat2.
  open_how how{};
  how.flags = O_DIRECTORY | O_RDONLY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, base, joined.c_str(), &how, sizeof how);
  if (fd >= 0) return {UniqueFd(static_cast<int>(fd)), std::nullopt};
  const int firstError = errno;
  if (firstError != ENOSYS && !(firstError == ENOENT && create)) {
    return {UniqueFd(), SysError{appendingPathComponent(basePath, joined), firstError}};
  }

  // Component by component: the fallback without openat2, and the way to create.
  UniqueFd current(fcntl(base, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) return {UniqueFd(), SysError{basePath, errno}};
  std::string currentPath = basePath;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string& part = relative[i];
    if (currentPath.back() != '/') currentPath.push_back('/');
    currentPath.append(part);
    if (isStep(part)) return {UniqueFd(), SysError{currentPath, EINVAL}};
    int next = openat(current.get(), part.c_str(), O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (mkdirat(current.get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
        return {UniqueFd(), SysError{currentPath, errno}};
      }
      next = openat(current.get(), part.c_str(), O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC);
    }
    if (next < 0) return {UniqueFd(), SysError{currentPath, errno}};
    current = UniqueFd(next);
  }
  return {std::move(current), std::nullopt};
}

// Where an action takes place: a descriptor for the directory that holds the target, the
// target's name in it, and the target's real path for messages.
struct Place {
  UniqueFd directory;
  std::string leaf;
  std::optional<std::string> refusal;  ///< set when the target cannot be reached safely
};

// Finds the place of |realTarget|, reached from the real root, or from "/" when the target
// is the workspace root itself (the request named the root). With |create|, missing
// directories are made on the way, and only ever below the real root: the root itself, and
// anything above it, is never a place to create in.
Place placeOf(const std::string& root, const std::string& path, const std::string& realTarget,
              bool create) {
  const std::string lexicalRoot = standardizePath(root);
  const std::string realRoot = resolvingSymlinks(lexicalRoot);
  if (realTarget.empty() || realTarget.front() != '/') {
    return {UniqueFd(), {}, path + ": its real place cannot be determined"};
  }
  std::string basePath;
  if (realTarget != realRoot && isSameOrBelow(realTarget, realRoot)) {
    basePath = realRoot;
  } else if (create && (path == lexicalRoot || realTarget == realRoot)) {
    return {UniqueFd(), {}, path + ": is the workspace root itself"};
  } else if (path == lexicalRoot || realTarget == realRoot) {
    basePath.assign(1, '/');
  } else {
    return {UniqueFd(), {}, path + ": leads outside the workspace through a symbolic link"};
  }
  const std::string_view below =
      std::string_view(realTarget).substr(basePath == "/" ? 0 : basePath.size());
  if (below.size() >= PATH_MAX) return {UniqueFd(), {}, describe({path, ENAMETOOLONG})};
  const std::vector<std::string> relative = componentsOf(below);
  if (relative.empty()) return {UniqueFd(), {}, path + ": is the root of the file system"};
  if (std::any_of(relative.begin(), relative.end(), isStep)) {
    return {UniqueFd(), {}, path + ": holds a step to a parent directory"};
  }

  open_how how{};
  how.flags = O_DIRECTORY | O_RDONLY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long base = syscall(SYS_openat2, AT_FDCWD, basePath.c_str(), &how, sizeof how);
  if (base < 0 && errno == ENOSYS)
    base = open(basePath.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  if (base < 0) return {UniqueFd(), {}, describe({basePath, errno})};
  const UniqueFd baseFd(static_cast<int>(base));

  auto opened = openBeneath(baseFd.get(), basePath, relative, relative.size() - 1, create);
  if (opened.error) return {UniqueFd(), {}, describe(*opened.error)};
  return {std::move(opened.fd), relative.back(), std::nullopt};
}

std::string temporaryName() {
  return ".omvi-write-" + randomHex(8) + ".tmp";
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t wrote = write(fd, content.data(), content.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

// One directory on the way down a tree being removed: its identity, its name in the directory
// above, and the subdirectories found in it that still await removal.
struct Level {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;
  std::vector<std::string> pending;
};

bool sameDirectory(const struct stat& status, const Level& level) {
  return S_ISDIR(status.st_mode) && status.st_dev == level.device && status.st_ino == level.inode;
}

// The path of |entry| inside the tree at |path|, for a message: built only on failure, as it
// grows with the depth.
std::string pathInTree(const std::string& path, const std::vector<Level>& levels,
                       std::string_view entry = {}) {
  std::string out = path;
  for (std::size_t i = 1; i < levels.size(); ++i)
    out.append(1, '/').append(levels[i].name);
  if (!entry.empty()) out.append(1, '/').append(entry);
  return out;
}

// Empties what it can of the directory |fd| in one pass: removes files, links and empty
// subdirectories, and lists the other subdirectories in |level|.pending. On failure, answers
// the entry that failed ("" for the directory itself) and errno. Reads with getdents64 into
// |buffer| rather than readdir, which would cost a second descriptor and a buffer per directory.
std::optional<std::pair<std::string, int>> scanDirectory(int fd, Level& level,
                                                         std::vector<std::uint64_t>& buffer) {
  while (true) {
    const ssize_t got = getdents64(fd, buffer.data(), buffer.size() * sizeof buffer[0]);
    if (got < 0) return std::pair<std::string, int>{{}, errno};
    if (got == 0) return std::nullopt;
    const auto* bytes = reinterpret_cast<const char*>(buffer.data());
    for (ssize_t offset = 0; offset < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(bytes + offset);
      offset += entry->d_reclen;
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      bool isDirectory = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat status {};
        if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
          if (errno == ENOENT) continue;
          return std::pair<std::string, int>{name, errno};
        }
        isDirectory = S_ISDIR(status.st_mode);
      }
      // A link is unlinked like a file: never followed. A full directory waits its turn.
      if (unlinkat(fd, entry->d_name, isDirectory ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT)
        continue;
      if (errno != ENOTEMPTY && errno != EEXIST && errno != EISDIR)
        return std::pair<std::string, int>{name, errno};
      level.pending.emplace_back(name);
    }
  }
}

// Removes |name| in |parent| and, for a directory, everything in it, never following a link.
// Iterative, whatever the depth: it holds one descriptor for the directory it works in, goes
// back up through "..", and goes on there only when ".." is the very directory it came down
// from (device and inode), so a rename during the removal cannot lead it anywhere else.

}  // namespace

FsError removeEntryAt(int parent, const std::string& name, const std::string& path) {
  struct stat status {};
  if (fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? std::nullopt : FsError(describe({path, errno}));
  }
  if (!S_ISDIR(status.st_mode)) {
    if (unlinkat(parent, name.c_str(), 0) != 0 && errno != ENOENT) return describe({path, errno});
    return std::nullopt;
  }

  std::vector<Level> levels;
  std::vector<std::uint64_t> buffer(4096);
  UniqueFd current;
  // Enters the directory |child| of the current one (of |parent| at the start).
  auto enter = [&](std::string child) -> FsError {
    const int from = levels.empty() ? parent : current.get();
    UniqueFd next(openat(from, child.c_str(), O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC));
    if (!next.valid() || fstat(next.get(), &status) != 0) {
      const int error = errno;
      if (error == ENOENT) return std::nullopt;  // gone meanwhile
      return describe({pathInTree(path, levels, levels.empty() ? "" : child), error});
    }
    current = std::move(next);
    levels.push_back({status.st_dev, status.st_ino, std::move(child), {}});
    if (auto failed = scanDirectory(current.get(), levels.back(), buffer))
      return describe({pathInTree(path, levels, failed->first), failed->second});
    return std::nullopt;
  };
  if (auto error = enter(name)) return error;

  while (!levels.empty()) {
    Level& level = levels.back();
    if (!level.pending.empty()) {
      std::string child = std::move(level.pending.back());
      level.pending.pop_back();
      if (auto error = enter(std::move(child))) return error;
      continue;
    }
    // Empty now: step up and remove it there.
    UniqueFd up;
    int above = parent;
    if (levels.size() > 1) {
      up = UniqueFd(openat(current.get(), "..", O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC));
      if (!up.valid() || fstat(up.get(), &status) != 0) {
        const int error = errno;
        return describe({pathInTree(path, levels), error});
      }
      if (!sameDirectory(status, levels[levels.size() - 2]))
        return pathInTree(path, levels) + ": moved while it was being removed";
      above = up.get();
    }
    // The name is not checked again: whatever bears it now lies in a directory of the tree,
    // and only an empty directory goes.
    if (unlinkat(above, level.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      const int error = errno;
      return describe({pathInTree(path, levels), error});
    }
    levels.pop_back();
    current = std::move(up);
  }
  return std::nullopt;
}

int replaceEntryAt(int directory, const std::string& leaf, std::string_view content,
                   Durability durability) {
  // A file being replaced keeps its permission bits (read through a link, since the place is
  // the link's real target); a new one gets 0666 less the umask.
  struct stat replaced {};
  const bool replacing = fstatat(directory, leaf.c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
                         S_ISREG(replaced.st_mode);
  const std::string temporary = temporaryName();
  const int fd =
      openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
             replacing ? 0600 : 0666);
  if (fd < 0) return errno;
  UniqueFd file(fd);
  int error = 0;
  if ((replacing && fchmod(file.get(), replaced.st_mode & 0777) != 0) ||
      !writeAll(file.get(), content) ||
      (durability == Durability::kSynced && fsync(file.get()) != 0)) {
    error = errno;
  }
  if (close(file.release()) != 0 && error == 0) error = errno;
  if (error == 0 && renameat(directory, temporary.c_str(), directory, leaf.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) unlinkat(directory, temporary.c_str(), 0);
  return error;
}

FsError writeFileAtomically(const std::string& root, const std::string& path,
                            std::string_view content, Durability durability) {
  // Everything that can refuse comes before the temporary file exists.
  Place place = placeOf(root, path, realFormOf(path), /*create=*/true);
  if (place.refusal) return place.refusal;
  if (const int error = replaceEntryAt(place.directory.get(), place.leaf, content, durability)) {
    return describe({path, error});
  }
  return std::nullopt;
}

FsError makeDirectories(const std::string& root, const std::string& path) {
  const std::string realTarget = realFormOf(path);
  const std::string realRoot = resolvingSymlinks(standardizePath(root));
  if (path == standardizePath(root) || realTarget == realRoot) {
    // The root itself is never made: it is there as a directory, or this fails.
    struct stat status {};
    if (stat(realRoot.c_str(), &status) != 0) return describe({path, errno});
    if (!S_ISDIR(status.st_mode)) return describe({path, ENOTDIR});
    return std::nullopt;
  }
  Place place = placeOf(root, path, realTarget, /*create=*/true);
  if (place.refusal) return place.refusal;
  if (mkdirat(place.directory.get(), place.leaf.c_str(), 0777) == 0) return std::nullopt;
  const int error = errno;
  struct stat status {};
  if (error == EEXIST && fstatat(place.directory.get(), place.leaf.c_str(), &status, 0) == 0 &&
      S_ISDIR(status.st_mode)) {
    return std::nullopt;
  }
  return describe({path, error});
}

FsError removeEntry(const std::string& root, const std::string& path) {
  // A path this long cannot be looked at, so "nothing there" would be a guess.
  if (path.size() >= PATH_MAX) return describe({path, ENAMETOOLONG});
  if (!fileExists(path)) return std::nullopt;
  // The entry itself is never resolved: a link is removed, not its target.
  const std::string parent = deletingLastPathComponent(path);
  const std::string realTarget =
      appendingPathComponent(realFormOf(parent), lastPathComponent(path));
  Place place = placeOf(root, path, realTarget, /*create=*/false);
  if (place.refusal) return place.refusal;
  return removeEntryAt(place.directory.get(), place.leaf, path);
}

}  // namespace OmviAgentRunnerMain
