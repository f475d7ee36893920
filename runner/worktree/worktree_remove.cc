#include "runner/worktree/worktree_remove.h"

#include "runner/git/repository.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"
#include "runner/worktree/isolation_area.h"
#include "runner/worktree/linked_worktree.h"
#include "runner/worktree/task_request.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr double kPruneTimeout = 30;

// `paths` when it has any, else the first non-blank of `worktree_path` and `path`.
std::vector<std::string> requestedTargets(const RunnerRequest& request) {
  if (request.paths && !request.paths->empty()) return *request.paths;
  for (const auto* field : {&request.worktreePath, &request.path}) {
    if (*field && !trimmed(**field).empty()) return {std::string(trimmed(**field))};
  }
  return {};
}

}  // namespace

RunnerResponse gitWorktreeRemove(const std::vector<std::string>& paths, const std::string& primary,
                                 double timeout) {
  std::string report;
  bool anyFailed = false;
  for (const std::string& path : paths) {
    if (!report.empty()) report += "; ";
    // Only a worktree of this repository is handed to git; a path that is gone is git's to
    // forget.
    if (fileExists(path) && !isLinkedWorktreeOf(path, primary)) {
      report += "failed " + displayForm(path, primary) + ": " + std::string(kWorktreeNotLinked);
      anyFailed = true;
      continue;
    }
    const RunnerResponse removal =
        runGit({"worktree", "remove", "--force", path}, primary, timeout);
    if (removal.ok || !fileExists(path)) {
      report += "removed " + displayForm(path, primary);
      continue;
    }
    // Clears what git recorded of worktrees whose directories are already gone.
    (void)runGit({"worktree", "prune"}, primary, kPruneTimeout);
    report += "failed " + displayForm(path, primary) + ": " +
              removal.stderrText.value_or(removal.error.value_or("error"));
    anyFailed = true;
  }
  if (anyFailed) return failure(std::move(report), {.affectedPaths = paths});
  return success({.affectedPaths = paths, .message = std::move(report), .exitStatus = 0});
}

RunnerResponse gitWorktreeRemove(const RunnerRequest& request) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  const std::string& root = repository.root;
  std::vector<std::string> targets = requestedTargets(request);
  if (targets.empty()) return failure(std::string(kPathsRequired));
  for (std::string& target : targets) {
    std::optional<std::string> authorized = authorize(target, root);
    if (!authorized) return failure(std::string(kPathOutsideWorkspace));
    target = std::move(*authorized);
  }
  return gitWorktreeRemove(targets, root, timeLimit(request.timeout, kWorktreeTimeLimit));
}

}  // namespace OmviAgentRunnerMain
