#include "runner/worktree/deliver.h"

#include <charconv>

#include "runner/guard/names.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"
#include "runner/worktree/linked_worktree.h"
#include "runner/worktree/task_request.h"
#include "runner/worktree/worktree_remove.h"

namespace OmviAgentRunnerMain {
namespace {

// The other git runs have limits of their own, whatever the request says.
constexpr double kStatusTimeout = 15;
constexpr double kAddTimeout = 30;
constexpr double kCommitTimeout = 30;
constexpr double kBaseLookupTimeout = 5;
constexpr double kAheadCountTimeout = 15;
constexpr double kFinalStatusTimeout = 10;
constexpr double kPruneRemoveTimeout = 60;

constexpr std::string_view kDefaultCommitMessage = "omvi: agent task changes";
constexpr std::string_view kDefaultMergePrefix = "omvi: deliver ";
constexpr std::string_view kNothingToDeliver =
    "Nothing to deliver \u2014 worktree has no commits ahead of ";
constexpr std::string_view kLineSeparator = " \u00B7 ";

bool isBlank(const std::optional<std::string>& text) {
  return !text || trimmed(*text).empty();
}

std::vector<std::string> rootAndWorktree(const TaskWorktree& task) {
  return {task.root, task.path};
}

// Commits whatever is uncommitted in the worktree; the failure to answer, if any. A commit
// that finds nothing to commit is no failure.
std::optional<RunnerResponse> commitLeftovers(const std::string& worktree,
                                              const std::string& message) {
  const RunnerResponse status =
      runGit({"status", "--porcelain=v1", "-uall"}, worktree, kStatusTimeout);
  if (isBlank(status.stdoutText)) return std::nullopt;

  const RunnerResponse add = runGit({"add", "-A"}, worktree, kAddTimeout);
  if (!add.ok) {
    return failure(
        add.stderrText.value_or(add.error.value_or("git add failed in worktree")),
        {.stdoutText = add.stdoutText, .stderrText = add.stderrText, .exitStatus = add.exitStatus});
  }
  const RunnerResponse commit = runGit({"commit", "-m", message}, worktree, kCommitTimeout);
  if (commit.ok) return std::nullopt;
  std::string text(trimmed(commit.stderrText.value_or("") + "\n" + commit.stdoutText.value_or("")));
  if (lowercased(text).find("nothing to commit") != std::string::npos) return std::nullopt;
  if (text.empty()) text = "git commit failed in worktree";
  return failure(std::move(text), {.stdoutText = commit.stdoutText,
                                   .stderrText = commit.stderrText,
                                   .exitStatus = commit.exitStatus});
}

// How many commits |branch| has that |base| lacks; nothing when git's answer is no number.
std::optional<long long> commitsAhead(const std::string& root, const std::string& base,
                                      const std::string& branch) {
  const RunnerResponse count =
      runGit({"rev-list", "--count", base + ".." + branch}, root, kAheadCountTimeout);
  const std::string output = count.stdoutText.value_or("0");
  const std::string_view text = trimmed(output);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

RunnerResponse gitDeliver(const RunnerRequest& request) {
  const TaskWorktree task = checkTaskWorktree(request);
  if (task.refusal) return *task.refusal;
  if (!fileExists(task.path)) return failure("worktree_missing");
  if (!isGitRepo(task.path)) return failure("worktree is not a git checkout");
  const std::optional<std::string> branch = taskBranch(request);
  if (!branch) return failure(std::string(kInvalidBranch));
  // Git follows whatever ".git" the directory holds, or else the checkout around it: neither
  // may turn the delivery onto another repository or onto the primary itself.
  if (!isLinkedWorktreeOf(task.path, task.root)) return failure(std::string(kWorktreeNotLinked));

  const std::string given(request.message ? trimmed(*request.message) : std::string_view{});
  const std::string commitMessage = given.empty() ? std::string(kDefaultCommitMessage) : given;
  const std::string mergeMessage =
      given.empty() ? std::string(kDefaultMergePrefix) + *branch : given;
  const bool prune = request.prune.value_or(false);
  const bool noFastForward = request.noFf.value_or(true);
  const double mergeTimeout = timeLimit(request.timeout, kMergeTimeLimit);

  if (auto refusal = commitLeftovers(task.path, commitMessage)) return *refusal;

  const RunnerResponse lookup =
      runGit({"rev-parse", "--abbrev-ref", "HEAD"}, task.root, kBaseLookupTimeout);
  const std::string base = lookup.stdoutText ? std::string(trimmed(*lookup.stdoutText)) : "HEAD";

  if (commitsAhead(task.root, base, *branch).value_or(0) == 0) {
    // No commits ahead, but the worktree may hold changes its commit could not take.
    const RunnerResponse status =
        runGit({"status", "--porcelain=v1"}, task.path, kFinalStatusTimeout);
    if (isBlank(status.stdoutText)) {
      return success({.affectedPaths = rootAndWorktree(task),
                      .message = std::string(kNothingToDeliver) + base,
                      .stdoutText = status.stdoutText,
                      .exitStatus = 0});
    }
  }

  std::vector<std::string> mergeArgs{"merge"};
  if (noFastForward) mergeArgs.emplace_back("--no-ff");
  mergeArgs.insert(mergeArgs.end(), {"-m", mergeMessage, *branch});
  const RunnerResponse merge = runGit(std::move(mergeArgs), task.root, mergeTimeout);
  if (!merge.ok) {
    const std::string detail = firstNonBlank({&merge.stderrText, &merge.stdoutText, &merge.error})
                                   .value_or("git merge failed");
    return failure("Merge into primary failed: " + detail,
                   {.stdoutText = merge.stdoutText,
                    .stderrText = merge.stderrText,
                    .exitStatus = merge.exitStatus,
                    .affectedPaths = rootAndWorktree(task)});
  }
  std::string message = "Merged " + *branch + " into " + base;
  if (prune) {
    const bool removed = gitWorktreeRemove({task.path}, task.root, kPruneRemoveTimeout).ok;
    message += std::string(kLineSeparator) +
               (removed ? "worktree pruned" : "worktree prune skipped/failed");
  }
  return success({.affectedPaths = rootAndWorktree(task),
                  .message = std::move(message),
                  .stdoutText = merge.stdoutText,
                  .stderrText = merge.stderrText,
                  .exitStatus = 0});
}

}  // namespace OmviAgentRunnerMain
