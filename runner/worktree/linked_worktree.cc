#include "runner/worktree/linked_worktree.h"

#include <optional>
#include <vector>

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
      {"rev-parse", "--path-format=absolute", "--show-toplevel", "--git-common-dir"}, path, 2);
  if (!own || resolvingSymlinks((*own)[0]) != resolvingSymlinks(path)) return false;
  const auto primaryCommon =
      revParse({"rev-parse", "--path-format=absolute", "--git-common-dir"}, primary, 1);
  return primaryCommon && resolvingSymlinks((*own)[1]) == resolvingSymlinks((*primaryCommon)[0]);
}

}  // namespace OmviAgentRunnerMain
