// Turning the run of a git command into an operation's answer.
//
// Owns: which text a failed run is reported with (git's standard error, then for some
// operations its standard output, then the runner's own error, then the operation's fixed
// sentence) and the two shapes of the answer. Does not own: running git (git_invocation.h) or
// any operation's texts, which each operation passes in.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Whether a failed run's standard output may stand in for its missing standard error.
/// Commit, push, branch and restore fall back to it; staging, the reports and diff never do.
enum class StdoutFallback { kNever, kAfterStderr };

/// How an operation words a failed run.
struct FailureTextRule {
  StdoutFallback stdoutFallback;
  std::string_view lastResort;  ///< the fixed sentence when the run carries no text at all
};

/// The first of the run's `stderr`, `stdout` (only with kAfterStderr) and `error` that is
/// present, even when it is empty; the rule's last resort when none is. Nothing is trimmed.
[[nodiscard]] std::string failureText(const RunnerResponse& run, const FailureTextRule& rule);

/// What an operation answers for its last git run.
struct GitAnswer {
  std::string successMessage;
  FailureTextRule failureRule;
  std::optional<std::vector<std::string>> affectedPaths{};  ///< reported either way
};

/// Success (the message, the run's `stdout` and `stderr`, `exit_status` 0) when the run's `ok`
/// is true; otherwise the failure text with the run's `stdout`, `stderr` and `exit_status`.
/// `affected_paths` comes from |answer| in both shapes.
[[nodiscard]] RunnerResponse answerFromRun(const RunnerResponse& run, const GitAnswer& answer);

}  // namespace OmviAgentRunnerMain
