#include "runner/git/push.h"

#include <algorithm>

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/guard/names.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::string_view kBranchRequiredForUpstream = "branch is required for set_upstream";

// The branch to push with an upstream when the request names none: the checkout's current
// branch. A detached HEAD answers "HEAD", which passes as a name and is pushed as such.
std::optional<std::string> currentBranch(const std::string& root) {
  const RunnerResponse probe = runGit({"rev-parse", "--abbrev-ref", "HEAD"}, root, kProbeTimeLimit);
  if (!probe.ok) return std::nullopt;
  return validateBranchName(trimmed(probe.stdoutText.value_or("")));
}

}  // namespace

PushLimits pushLimits(const std::optional<double>& timeout) {
  const double push = timeLimit(timeout, kPushTimeLimit);
  return {push, std::min(push, kFetchCeiling)};
}

std::vector<std::string> pushArguments(const std::string& remote,
                                       const std::optional<std::string>& branch, bool setUpstream) {
  std::vector<std::string> args{"push"};
  if (setUpstream) args.emplace_back("-u");
  if (branch) {
    args.push_back(remote);
    args.push_back(*branch);
  }
  return args;
}

RunnerResponse gitPush(const RunnerRequest& request) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  const auto remote = validateRemoteName(request.remote.value_or("origin"));
  if (!remote) return failure(std::string(kInvalidRemote));
  // `branch` wins over `name`; a present but blank `branch` is not replaced.
  const std::string branchField = request.branch.value_or(request.name.value_or(""));
  const std::string_view branchText = trimmed(branchField);
  const PushLimits limits = pushLimits(request.timeout);

  // Refreshes the view of the remote; a failed or timed-out fetch does not stop the push.
  (void)runGit({"fetch", "--prune", *remote}, repository.root, limits.fetch);

  const bool setUpstream = request.setUpstream.value_or(false);
  std::optional<std::string> branch;
  if (!branchText.empty()) {
    branch = validateBranchName(branchText);
    if (!branch) return failure(std::string(kInvalidBranch));
  } else if (setUpstream) {
    branch = currentBranch(repository.root);
    if (!branch) return failure(std::string(kBranchRequiredForUpstream));
  }

  const RunnerResponse run =
      runGit(pushArguments(*remote, branch, setUpstream), repository.root, limits.push);
  return answerFromRun(run, {.successMessage = "Push succeeded",
                             .failureRule = {StdoutFallback::kAfterStderr, "git push failed"}});
}

}  // namespace OmviAgentRunnerMain
