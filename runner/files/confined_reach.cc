#include "runner/files/confined_reach.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr unsigned long long kNoLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// |path| with its nearest existing ancestor resolved through links and the missing components
// appended unchanged.
std::string realFormOf(const std::string& path) {
  std::string probe = path;
  std::vector<std::string> missing;
  while (!fileExists(probe)) {
    std::string parent = deletingLastPathComponent(probe);
    if (parent.empty() || parent == probe) break;
    missing.push_back(lastPathComponent(probe));
    probe = std::move(parent);
  }
  std::string real = resolvingSymlinks(probe);
  std::for_each(missing.rbegin(), missing.rend(),
                [&](const std::string& part) { real = appendingPathComponent(real, part); });
  return real;
}

long openHow(int base, const char* path, int flags, unsigned long long resolve) {
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.resolve = resolve;
  return syscall(SYS_openat2, base, path, &how, sizeof how);
}

Reached failed(int error) {
  return {UniqueFd(), {}, error};
}

// The real root, opened with no link followed (it has none: it is the resolved form).
Reached openRealRoot(const std::string& realRoot) {
  long fd = openHow(AT_FDCWD, realRoot.c_str(), O_DIRECTORY | O_RDONLY, kNoLinks);
  if (fd < 0 && errno == ENOSYS) fd = open(realRoot.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  return {UniqueFd(static_cast<int>(fd)), {}, 0};
}

// Opens |relative| (components without "." or "..") beneath |base| with no link followed.
Reached openBeneath(int base, const std::string& relative, int flags) {
  const std::string target = relative.empty() ? "." : relative;
  const long fd = openHow(base, target.c_str(), flags, RESOLVE_BENEATH | kNoLinks);
  if (fd >= 0) return {UniqueFd(static_cast<int>(fd)), {}, 0};
  if (errno != ENOSYS) return failed(errno);
  // Without openat2: one component at a time, none of them followed.
  UniqueFd current(fcntl(base, F_DUPFD_CLOEXEC, 0));
  if (!current.valid()) return failed(errno);
  std::string_view rest = target;
  while (true) {
    const auto slash = rest.find('/');
    const std::string part(rest.substr(0, slash));
    const bool last = slash == std::string_view::npos;
    const int next = openat(current.get(), part.c_str(),
                            (last ? flags : O_DIRECTORY | O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return failed(errno);
    current = UniqueFd(next);
    if (last) return {std::move(current), {}, 0};
    rest.remove_prefix(slash + 1);
  }
}

// Opens |real| (a resolved path) beneath the real root of |root|.
Reached openReal(const std::string& root, const std::string& real, int flags) {
  const std::string realRoot = resolvingSymlinks(standardizePath(root));
  std::string relative;
  if (real != realRoot) {
    if (!isSameOrBelow(real, realRoot)) return failed(EXDEV);
    relative = real.substr(directoryPrefix(realRoot).size());
  }
  Reached rootFd = openRealRoot(realRoot);
  if (rootFd.error != 0) return rootFd;
  return openBeneath(rootFd.fd.get(), relative, flags);
}

}  // namespace

Reached openConfined(const std::string& root, const std::string& path, int flags) {
  return openReal(root, realFormOf(path), flags);
}

ReachedFile openRegularConfined(const std::string& root, const std::string& path) {
  ReachedFile file{UniqueFd(), {}, 0};
  const Reached handle = openConfined(root, path, O_PATH);
  if (handle.error != 0) {
    file.error = handle.error;
  } else if (fstat(handle.fd.get(), &file.status) != 0) {
    file.error = errno;
  } else if (S_ISREG(file.status.st_mode)) {
    // The same inode again through its descriptor: no second walk, so nothing swapped in
    // meanwhile is opened. Without /proc, a second confined open that may not block, kept
    // only if it reached the same file.
    const std::string self = "/proc/self/fd/" + std::to_string(handle.fd.get());
    file.fd = UniqueFd(open(self.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (!file.fd.valid() && errno != ENOENT) {
      file.error = errno;
    } else if (!file.fd.valid()) {
      Reached again = openConfined(root, path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
      struct stat status {};
      if (again.error != 0) {
        file.error = again.error;
      } else if (fstat(again.fd.get(), &status) != 0) {
        file.error = errno;
      } else if (status.st_dev != file.status.st_dev || status.st_ino != file.status.st_ino) {
        file.error = ESTALE;
      } else {
        file.fd = std::move(again.fd);
      }
    }
  }
  return file;
}

Reached reachParent(const std::string& root, const std::string& path) {
  const std::string lexicalRoot = standardizePath(root);
  if (path == lexicalRoot) {
    Reached reached = openReal(root, resolvingSymlinks(lexicalRoot), O_DIRECTORY | O_RDONLY);
    reached.leaf.assign(1, '.');  // not = ".": a false -Wrestrict of GCC 12
    return reached;
  }
  Reached reached =
      openReal(root, realFormOf(deletingLastPathComponent(path)), O_DIRECTORY | O_RDONLY);
  reached.leaf = lastPathComponent(path);
  return reached;
}

Target authorizeTarget(const std::string& workspaceRoot, const std::string& path) {
  Target target{resolveRoot(workspaceRoot), {}, std::nullopt};
  auto authorized = authorize(path, target.root);
  if (!authorized) {
    target.error = std::string(kPathOutsideWorkspace);
  } else {
    target.path = std::move(*authorized);
  }
  return target;
}

ReadBack readAt(int fd, off_t offset, std::size_t size) {
  ReadBack back;
  back.bytes.resize(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n =
        pread(fd, back.bytes.data() + got, size - got, offset + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {{}, errno};
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  back.bytes.resize(got);
  return back;
}

EntryType entryTypeOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::kFile;
  if (S_ISDIR(mode)) return EntryType::kDirectory;
  if (S_ISLNK(mode)) return EntryType::kSymlink;
  return EntryType::kOther;
}

const char* entryTypeName(EntryType type) {
  switch (type) {
    case EntryType::kFile:
      return "file";
    case EntryType::kDirectory:
      return "directory";
    case EntryType::kSymlink:
      return "symlink";
    case EntryType::kOther:
      return "other";
  }
  return "other";
}

std::string describeFailure(const std::string& code, const std::string& path, int error) {
  if (error == EXDEV) return std::string(kPathOutsideWorkspace);
  if (error == ENOENT) return "not_found: " + path;
  if (error == ELOOP) return code + ": " + path + ": a symbolic link stands in the way";
  return code + ": " + path + ": " + errnoText(error);
}

}  // namespace OmviAgentRunnerMain
