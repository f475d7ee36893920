#include "runner/guard/workspace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "runner/guard/path_text.h"
#include "runner/posix.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

// The runner's working directory, read once: the runner never changes it, and a relative root
// must mean the same directory for every request. "" when it cannot be read.
const std::string& workingDirectory() {
  static const std::string directory = [] {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
      if (errno != ERANGE || buffer.size() >= (1U << 20)) return std::string();
      buffer.resize(buffer.size() * 2);
    }
    // Linux marks a directory unreachable from the process's root with "(unreachable)".
    return buffer[0] == '/' ? std::string(buffer.data()) : std::string();
  }();
  return directory;
}

// Whether a failed step of the walk means "nothing there" (as a failed stat would), rather than
// a fault that leaves the answer unknown (out of descriptors, say).
bool meansAbsent(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG ||
         error == EACCES;
}

}  // namespace

std::string resolveRoot(const std::optional<std::string>& workspaceRoot) {
  if (!workspaceRoot) return {};
  const std::string_view root = trimmed(*workspaceRoot);
  if (root.empty()) return {};
  const std::string expanded = expandTilde(root);
  if (expanded.front() != '/' && !workingDirectory().empty())
    return standardizedJoin(workingDirectory(), expanded);
  return standardizePath(expanded);
}

bool fileExists(const std::string& path) {
  struct stat status {};
  return !path.empty() && path.find('\0') == std::string::npos && stat(path.c_str(), &status) == 0;
}

std::string resolvingSymlinks(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return standardizePath(path);
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) return standardizePath(path);
  return real.get();
}

ExistingAncestor nearestExistingAncestor(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) return {};
  // Downward, one component at a time from a descriptor of the last one found: existence is
  // closed under prefixes, so the first missing component ends the walk, and no prefix is
  // ever named twice (walking upward with stat costs the square of the depth).
  UniqueFd current(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return {};
  ExistingAncestor found{1, std::nullopt};
  std::string part;
  for (std::size_t at = 1; at < path.size();) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash >= PATH_MAX) break;
    part.assign(path.substr(at, slash - at));
    at = slash + 1;
    if (part.empty()) continue;
    const int next = openat(current.get(), part.c_str(), O_PATH | O_CLOEXEC);
    if (next < 0) {
      if (meansAbsent(errno)) break;
      return found;
    }
    current = UniqueFd(next);
    found.length = slash;
  }
  const std::string prefix(path.substr(0, found.length));
  std::unique_ptr<char, decltype(&std::free)> real(realpath(prefix.c_str(), nullptr), &std::free);
  if (real) found.real = std::string(real.get());
  return found;
}

bool isSameOrBelow(std::string_view path, std::string_view root) {
  if (path == root) return true;
  const std::string prefix = directoryPrefix(root);
  return path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix;
}

std::optional<std::string> authorize(std::string_view path, std::string_view workspaceRoot) {
  // Only an absolute root confines: a relative one would be read against whichever directory
  // a child happens to start in.
  if (workspaceRoot.empty() || workspaceRoot.front() != '/') return std::nullopt;
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  std::string_view text = trimmed(path);
  std::string expanded;
  if (!text.empty() && text.front() == '~') {
    expanded = expandTilde(text);
    text = expanded;
  }

  // Lexical check first: ".." and absolute paths that leave the root as written.
  const std::string candidate = !text.empty() && text.front() == '/'
                                    ? standardizePath(text)
                                    : standardizedJoin(workspaceRoot, text);
  if (holdsParentComponent(candidate)) return std::nullopt;
  const std::string lexicalRoot = standardizePath(workspaceRoot);
  if (candidate == lexicalRoot) return candidate;
  if (!candidate.starts_with(directoryPrefix(lexicalRoot))) return std::nullopt;

  // Then through symlinks: the nearest existing ancestor must resolve inside the real root.
  const ExistingAncestor existing = nearestExistingAncestor(candidate);
  if (!existing.real || !isSameOrBelow(*existing.real, resolvingSymlinks(lexicalRoot)))
    return std::nullopt;
  return candidate;
}

std::string workspaceRelativePathspec(std::string_view path, std::string_view root) {
  const std::string prefix = directoryPrefix(root);
  if (path.starts_with(prefix)) return std::string(path.substr(prefix.size()));
  if (path == root) return ".";
  return std::string(path);
}

}  // namespace OmviAgentRunnerMain
