#include "runner/worktree/worktree_add.h"

#include "runner/files/confined_fs.h"
#include "runner/guard/names.h"
#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"
#include "runner/worktree/task_request.h"

namespace OmviAgentRunnerMain {
namespace {

// A worktree in place: |run| is the git run that made it, if one did.
RunnerResponse worktreeReady(const std::string& worktree, std::string message,
                             const RunnerResponse* run = nullptr) {
  return success({.path = worktree,
                  .affectedPaths = std::vector<std::string>{worktree},
                  .message = std::move(message),
                  .stdoutText = run ? run->stdoutText : std::nullopt,
                  .stderrText = run ? run->stderrText : std::nullopt,
                  .exitStatus = 0});
}

// Both ways of making the worktree failed: git's first words on it, and the attaching run's
// output where it has any, the creating run's otherwise.
RunnerResponse bothRunsFailed(const std::string& worktree, const RunnerResponse& creating,
                              const RunnerResponse& attaching) {
  std::string text = firstNonBlank({&creating.stderrText, &creating.stdoutText,
                                    &attaching.stderrText, &attaching.stdoutText, &creating.error})
                         .value_or("git worktree add failed");
  return failure(std::move(text),
                 {.stdoutText = attaching.stdoutText ? attaching.stdoutText : creating.stdoutText,
                  .stderrText = attaching.stderrText ? attaching.stderrText : creating.stderrText,
                  .exitStatus = attaching.exitStatus ? attaching.exitStatus : creating.exitStatus,
                  .affectedPaths = std::vector<std::string>{worktree}});
}

}  // namespace

RunnerResponse gitWorktreeAdd(const RunnerRequest& request) {
  const TaskWorktree task = checkTaskWorktree(request);
  if (task.refusal) return *task.refusal;
  const std::optional<std::string> branch = taskBranch(request);
  if (!branch) return failure(std::string(kInvalidBranch));
  const double timeout = timeLimit(request.timeout, kWorktreeTimeLimit);

  const std::string parent = deletingLastPathComponent(task.path);
  if (!fileExists(parent)) {
    if (FsError error = makeDirectories(task.root, parent))
      return failure("mkdir_failed: " + *error);
  }
  if (fileExists(task.path)) {
    if (isGitRepo(task.path))
      return worktreeReady(task.path, "Using existing worktree on " + *branch);
    // Whatever else stands there would only make git refuse the path.
    (void)removeEntry(task.root, task.path);
  }

  const RunnerResponse creating =
      runGit({"worktree", "add", "-b", *branch, task.path, "HEAD"}, task.root, timeout);
  if (creating.ok) {
    return worktreeReady(task.path, "Created worktree on new branch " + *branch, &creating);
  }
  // Typically the branch exists already.
  const RunnerResponse attaching =
      runGit({"worktree", "add", task.path, *branch}, task.root, timeout);
  if (attaching.ok) {
    return worktreeReady(task.path, "Attached worktree to existing branch " + *branch, &attaching);
  }
  return bothRunsFailed(task.path, creating, attaching);
}

}  // namespace OmviAgentRunnerMain
