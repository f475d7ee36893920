#include "runner/worktree/linked_worktree.h"

#include <fstream>
#include <optional>
#include <vector>

#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr double kProbeTimeout = 5;

// The |count| lines "git rev-parse" prints for |args| in |directory|; nothing when it fails or
// prints anything else.
std::optional<std::vector<std::string>> revParse(std::vector<std::string> args,
                                                 const std::string& directory, std::size_t count) {
  const RunnerResponse probe = runGit(std::move(args), directory, kProbeTimeout);
  if (!probe.ok || !probe.stdoutText) return std::nullopt;
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = probe.stdoutText->find('\n', start)) != std::string::npos;
       start = end + 1)
    lines.push_back(probe.stdoutText->substr(start, end - start));
  if (start != probe.stdoutText->size() || lines.size() != count) return std::nullopt;
  return lines;
}

}  // namespace

bool isLinkedWorktreeOf(const std::string& path, const std::string& primary) {
  const auto own = revParse(
      {"rev-parse", "--path-format=absolute", "--show-toplevel", "--git-common-dir", "--git-dir"},
      path, 3);
  if (!own) return false;
  const std::string real = resolvingSymlinks(path);
  const std::string common = resolvingSymlinks((*own)[1]);
  const std::string gitDir = resolvingSymlinks((*own)[2]);
  // A linked worktree's git directory is its entry under the common one's "worktrees", and that
  // entry names this checkout's ".git" back: a ".git" file pointing at the common directory
  // itself, or at another worktree's entry, is no linked worktree of its own.
  std::string backLink;
  std::getline(std::ifstream(appendingPathComponent(gitDir, "gitdir")), backLink);
  if (resolvingSymlinks((*own)[0]) != real ||
      deletingLastPathComponent(gitDir) != appendingPathComponent(common, "worktrees") ||
      resolvingSymlinks(backLink) != appendingPathComponent(real, ".git"))
    return false;
  const auto primaryCommon =
      revParse({"rev-parse", "--path-format=absolute", "--git-common-dir"}, primary, 1);
  return primaryCommon && common == resolvingSymlinks((*primaryCommon)[0]);
}

}  // namespace OmviAgentRunnerMain
