#include "runner/git/index.h"

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"

namespace OmviAgentRunnerMain {

std::vector<std::string> indexArguments(bool add, bool hasCommit,
                                        const std::vector<std::string>& pathspecs) {
  std::vector<std::string> args;
  if (add) {
    args = {"add", "--"};
  } else if (hasCommit) {
    args = {"restore", "--staged", "--"};
  } else {
    // Before the first commit there is no HEAD to restore from: drop the entries instead.
    args = {"rm", "--cached", "-f", "--"};
  }
  args.insert(args.end(), pathspecs.begin(), pathspecs.end());
  return args;
}

RunnerResponse mutateGitIndex(const RunnerRequest& request, bool add) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  PathspecList list = requestedPathspecs(request, repository.root);
  if (list.refusal) return *list.refusal;

  // Only the probe's success counts: it tells whether HEAD names a commit yet.
  const bool hasCommit =
      !add && runGit({"rev-parse", "--verify", "HEAD"}, repository.root, kProbeTimeLimit).ok;
  const RunnerResponse run = runGit(indexArguments(add, hasCommit, list.pathspecs), repository.root,
                                    timeLimit(request.timeout, kGitTimeLimit));

  const std::string count = std::to_string(list.pathspecs.size());
  return answerFromRun(
      run, {.successMessage = (add ? "Staged " : "Unstaged ") + count + " path(s)",
            .failureRule = {StdoutFallback::kNever, add ? "git add failed" : "git unstage failed"},
            .affectedPaths = std::move(list.pathspecs)});
}

RunnerResponse gitStage(const RunnerRequest& request) {
  return mutateGitIndex(request, true);
}

RunnerResponse gitUnstage(const RunnerRequest& request) {
  return mutateGitIndex(request, false);
}

}  // namespace OmviAgentRunnerMain
