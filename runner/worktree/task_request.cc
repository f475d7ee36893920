#include "runner/worktree/task_request.h"

#include "runner/git/repository.h"
#include "runner/guard/names.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"
#include "runner/text.h"
#include "runner/worktree/isolation_area.h"

namespace OmviAgentRunnerMain {
namespace {

// |preferred|, or |fallback| when |preferred| is absent, or "" when both are; trimmed.
std::string_view preferredField(const std::optional<std::string>& preferred,
                                const std::optional<std::string>& fallback) {
  if (preferred) return trimmed(*preferred);
  if (fallback) return trimmed(*fallback);
  return {};
}

TaskWorktree refused(std::string_view text) {
  return {{}, {}, failure(std::string(text))};
}

}  // namespace

TaskWorktree checkTaskWorktree(const RunnerRequest& request) {
  RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return {{}, {}, std::move(repository.refusal)};
  std::string root = std::move(repository.root);
  const std::string_view requested = preferredField(request.worktreePath, request.path);
  if (requested.empty()) return refused(kWorktreePathRequired);
  std::optional<std::string> worktree = authorize(requested, root);
  if (!worktree) return refused(kPathOutsideWorkspace);
  if (!isUnderIsolationArea(*worktree, root)) return refused(kNotInIsolationArea);
  return {std::move(root), std::move(*worktree), std::nullopt};
}

std::optional<std::string> taskBranch(const RunnerRequest& request) {
  return validateBranchName(preferredField(request.branch, request.name));
}

}  // namespace OmviAgentRunnerMain
