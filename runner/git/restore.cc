#include "runner/git/restore.h"

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"

namespace OmviAgentRunnerMain {

std::vector<std::string> restoreArguments(const std::optional<bool>& staged,
                                          const std::optional<bool>& worktree,
                                          const std::vector<std::string>& pathspecs) {
  std::vector<std::string> args{"restore", "--source=HEAD"};
  if (staged.value_or(true)) args.emplace_back("--staged");
  if (worktree.value_or(true)) args.emplace_back("--worktree");
  args.emplace_back("--");
  args.insert(args.end(), pathspecs.begin(), pathspecs.end());
  return args;
}

std::vector<std::string> checkoutArguments(const std::vector<std::string>& pathspecs) {
  std::vector<std::string> args{"checkout", "HEAD", "--"};
  args.insert(args.end(), pathspecs.begin(), pathspecs.end());
  return args;
}

RunnerResponse gitRestore(const RunnerRequest& request) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  PathspecList list = requestedPathspecs(request, repository.root);
  if (list.refusal) return *list.refusal;

  const double limit = timeLimit(request.timeout, kGitTimeLimit);
  RunnerResponse run = runGit(restoreArguments(request.staged, request.worktree, list.pathspecs),
                              repository.root, limit);
  // Whatever made the restore fail (an old git without it included), the checkout does the
  // work; the restore run's own complaint is dropped.
  if (!run.ok) run = runGit(checkoutArguments(list.pathspecs), repository.root, limit);

  const std::string count = std::to_string(list.pathspecs.size());
  return answerFromRun(run, {.successMessage = "Restored " + count + " path(s) from HEAD",
                             .failureRule = {StdoutFallback::kAfterStderr, "git restore failed"},
                             .affectedPaths = std::move(list.pathspecs)});
}

}  // namespace OmviAgentRunnerMain
