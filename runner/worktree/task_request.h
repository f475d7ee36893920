// Reading the request of a task worktree operation (creation and delivery).
//
// Owns: the checks both operations make first, in their order, the fallbacks between
// `worktree_path` and `path` and between `branch` and `name`, time limits with a floor, and
// choosing the first meaningful text among git's outputs.
// Does not own: the checks' rules (workspace.h, names.h, isolation_area.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

inline constexpr std::string_view kWorktreePathRequired = "worktree_path is required";
inline constexpr std::string_view kNotInIsolationArea = "worktree_not_in_isolation_area";

/// The primary checkout and the task's worktree, or the failure that ends the operation.
struct TaskWorktree {
  std::string root;                       ///< the primary checkout, as `resolveRoot` gives it
  std::string path;                       ///< the authorized worktree path
  std::optional<RunnerResponse> refusal;  ///< set at the first failed check; then stop
};

/// In order: a workspace root, a repository there, a worktree path (`worktree_path`, or `path`
/// when `worktree_path` is absent; a blank one is missing), inside the workspace, inside the
/// isolation area. Runs nothing but the repository probe and creates nothing.
[[nodiscard]] TaskWorktree checkTaskWorktree(const RunnerRequest& request);

/// `branch`, or `name` when `branch` is absent (a blank `branch` is not replaced), validated
/// as a branch name; nothing when refused.
[[nodiscard]] std::optional<std::string> taskBranch(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
