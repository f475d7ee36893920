#include "runner/guard/workspace.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "runner/guard/path_text.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {

std::string resolveRoot(const std::optional<std::string>& workspaceRoot) {
  if (!workspaceRoot) return {};
  const std::string_view root = trimmed(*workspaceRoot);
  if (root.empty()) return {};
  return standardizePath(expandTilde(root));
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

bool isSameOrBelow(std::string_view path, std::string_view root) {
  if (path == root) return true;
  const std::string prefix = directoryPrefix(root);
  return path.size() > prefix.size() && path.substr(0, prefix.size()) == prefix;
}

std::optional<std::string> authorize(std::string_view path, std::string_view workspaceRoot) {
  if (workspaceRoot.empty()) return std::nullopt;
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string expanded = expandTilde(trimmed(path));

  // Lexical check first: ".." and absolute paths that leave the root as written.
  const std::string candidate =
      !expanded.empty() && expanded.front() == '/'
          ? standardizePath(expanded)
          : standardizePath(appendingPathComponent(workspaceRoot, expanded));
  const std::string lexicalRoot = standardizePath(workspaceRoot);
  if (candidate == lexicalRoot) return candidate;
  if (!candidate.starts_with(directoryPrefix(lexicalRoot))) return std::nullopt;

  // Then through symlinks: the nearest existing ancestor must resolve inside the real root.
  const std::string realRoot = resolvingSymlinks(lexicalRoot);
  std::string probe = candidate;
  while (!fileExists(probe)) {
    std::string parent = deletingLastPathComponent(probe);
    if (parent.empty() || parent == probe) return std::nullopt;
    probe = std::move(parent);
  }
  if (!isSameOrBelow(resolvingSymlinks(probe), realRoot)) return std::nullopt;
  return candidate;
}

std::string workspaceRelativePathspec(std::string_view path, std::string_view root) {
  const std::string prefix = directoryPrefix(root);
  if (path.starts_with(prefix)) return std::string(path.substr(prefix.size()));
  if (path == root) return ".";
  return std::string(path);
}

}  // namespace OmviAgentRunnerMain
