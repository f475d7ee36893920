#include "runner/git/diff.h"

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/guard/names.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"
#include "runner/process/process.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr FailureTextRule kDiffFailure{StdoutFallback::kNever, "git diff failed"};

}  // namespace

DiffScope diffScope(const std::optional<std::string>& scope) {
  const std::string name = lowercased(trimmed(scope.value_or("unstaged")));
  if (name == "staged") return DiffScope::kStaged;
  if (name == "branch") return DiffScope::kBranch;
  return DiffScope::kUnstaged;
}

std::vector<std::string> diffArguments(DiffScope scope, const std::string& base,
                                       const std::optional<std::string>& pathspec) {
  std::vector<std::string> args{"diff"};
  switch (scope) {
    case DiffScope::kUnstaged:
      break;
    case DiffScope::kStaged:
      args.emplace_back("--staged");
      break;
    case DiffScope::kBranch:
      args.push_back(base + "...HEAD");
      break;
  }
  if (pathspec) {
    args.emplace_back("--");
    args.push_back(*pathspec);
  }
  return args;
}

std::string capDiffText(std::string text) {
  if (text.size() <= kDiffCap) return text;
  // The marker included, the text stays within the runner's byte cap on standard output.
  std::string capped(graphemePrefix(text, kDiffCap, kStdoutByteCap - kDiffTruncatedMarker.size()));
  capped += kDiffTruncatedMarker;
  return capped;
}

bool diffRunFailed(const RunnerResponse& run) {
  return !run.ok && run.exitStatus && *run.exitStatus != 1;
}

RunnerResponse gitDiff(const RunnerRequest& request) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;

  const DiffScope scope = diffScope(request.scope);
  std::string base;
  if (scope == DiffScope::kBranch) {
    const auto validated = validateBranchName(request.baseBranch.value_or("main"));
    if (!validated) return failure(std::string(kInvalidBaseBranch));
    base = *validated;
  }
  std::optional<std::string> pathspec;
  const std::string_view path = request.path ? trimmed(*request.path) : std::string_view{};
  if (!path.empty()) {
    const auto authorized = authorize(path, repository.root);
    if (!authorized) return failure(std::string(kPathOutsideWorkspace));
    pathspec = workspaceRelativePathspec(*authorized, repository.root);
  }

  const RunnerResponse run = runGit(diffArguments(scope, base, pathspec), repository.root,
                                    timeLimit(request.timeout, kGitTimeLimit));
  if (diffRunFailed(run)) {
    return failure(
        failureText(run, kDiffFailure),
        {.stdoutText = run.stdoutText, .stderrText = run.stderrText, .exitStatus = run.exitStatus});
  }
  // To git diff, status 1 means "there are differences": the diff was still produced.
  return success({.message = "diff",
                  .stdoutText = capDiffText(run.stdoutText.value_or("")),
                  .stderrText = run.stderrText,
                  .exitStatus = 0});
}

}  // namespace OmviAgentRunnerMain
