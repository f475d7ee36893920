// Removing task worktrees: the `git_worktree_remove` operation and the removal routine that
// delivery reuses.
//
// Owns: one "git worktree remove --force" per path, the prune after a failed one, and the
// per-path report ("removed x; failed y: detail").
// Does not own: which paths may be named (the handler confines them to the workspace only;
// the isolation area is not required here).
#pragma once

#include <string>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Removes each of |paths| (authorized already) in order, running git in |primary| with
/// |timeout| seconds per removal. A path git refuses while it still exists is a "failed"
/// line, and a "git worktree prune" (30 s) follows it; a path that is gone counts as removed
/// whatever git said. A failure never stops the loop and nothing is rolled back.
/// Success: the joined report as `message`, |paths| as `affected_paths`, `exit_status` 0.
/// Any failed path: the report as the failure text, |paths| as `affected_paths`.
[[nodiscard]] RunnerResponse gitWorktreeRemove(const std::vector<std::string>& paths,
                                               const std::string& primary, double timeout);

/// The operation: the targets are `paths` when not empty, else `worktree_path`, else `path`
/// (each trimmed, a blank one skipped); all must lie in the workspace or nothing runs.
/// `timeout` or 60 s, at least 15 s, per removal.
[[nodiscard]] RunnerResponse gitWorktreeRemove(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
