#include "runner/git/commit.h"

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {

RunnerResponse gitCommit(const RunnerRequest& request) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  const std::string_view message = request.message ? trimmed(*request.message) : "";
  if (message.empty()) return failure("commit message is required");

  // The message is the value of "-m", so one that begins with "-" is never read as an option.
  const RunnerResponse run = runGit({"commit", "-m", std::string(message)}, repository.root,
                                    timeLimit(request.timeout, kGitTimeLimit));
  return answerFromRun(run, {.successMessage = "Commit created",
                             .failureRule = {StdoutFallback::kAfterStderr, "git commit failed"}});
}

}  // namespace OmviAgentRunnerMain
