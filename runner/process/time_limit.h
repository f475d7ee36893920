// The time limits that operations give their child runs.
//
// Owns: each kind of run's default and floor, as data, and the one rule that turns a request's
// `timeout` into a limit. Does not own: the wait itself (process.h) or the 0.1 s that every
// wait lasts at least.
#pragma once

#include <optional>

namespace OmviAgentRunnerMain {

/// How a request's `timeout` becomes a limit: |fallback| seconds when absent, raised to |floor|.
struct TimeLimitRule {
  double fallback;
  double floor;
};

/// Patch application and the git operations on the primary checkout, push excepted.
inline constexpr TimeLimitRule kGitTimeLimit{30, 5};
/// The push run; its fetch gets the same limit, lowered to kFetchCeiling.
inline constexpr TimeLimitRule kPushTimeLimit{60, 15};
inline constexpr double kFetchCeiling = 30;
/// Worktree creation and each worktree removal.
inline constexpr TimeLimitRule kWorktreeTimeLimit{60, 15};
/// Delivery's merge.
inline constexpr TimeLimitRule kMergeTimeLimit{90, 15};
/// The small probes ("rev-parse ...") run with this fixed limit, whatever the request says.
inline constexpr double kProbeTimeLimit = 5;

/// |timeout| (or the rule's fallback when absent), raised to the rule's floor.
[[nodiscard]] double timeLimit(const std::optional<double>& timeout, TimeLimitRule rule);

}  // namespace OmviAgentRunnerMain
