#include "runner/git/branches.h"

#include <string>
#include <vector>

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/guard/names.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"

namespace OmviAgentRunnerMain {
namespace {

// The two operations differ only in these texts. The branch follows the arguments, with no
// "--" after it.
struct BranchCommand {
  std::vector<std::string> argumentsBeforeBranch;
  std::string_view successPrefix;
  std::string_view lastResort;
};

RunnerResponse runBranchCommand(const RunnerRequest& request, const BranchCommand& command) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  // `name` wins over `branch`; a present but blank `name` is not replaced, and is refused.
  const auto branch =
      validateBranchName(request.name ? *request.name : request.branch.value_or(""));
  if (!branch) return failure(std::string(kInvalidBranch));

  std::vector<std::string> args = command.argumentsBeforeBranch;
  args.push_back(*branch);
  const RunnerResponse run =
      runGit(std::move(args), repository.root, timeLimit(request.timeout, kGitTimeLimit));
  return answerFromRun(run, {.successMessage = std::string(command.successPrefix) + *branch,
                             .failureRule = {StdoutFallback::kAfterStderr, command.lastResort}});
}

}  // namespace

RunnerResponse gitBranchCreate(const RunnerRequest& request) {
  return runBranchCommand(
      request, {{"checkout", "-b"}, "Created and switched to branch ", "git checkout -b failed"});
}

RunnerResponse gitBranchSwitch(const RunnerRequest& request) {
  return runBranchCommand(request, {{"checkout"}, "Switched to branch ", "git checkout failed"});
}

}  // namespace OmviAgentRunnerMain
