// Creating a task worktree: the `git_worktree_add` operation.
//
// Owns: the steps from a checked request to a linked worktree on the task's branch inside the
// isolation area: making its parent directory, reusing a checkout already there, creating a
// new branch or attaching to an existing one, and the response of each outcome.
// Does not own: the shared request checks (task_request.h) or removal (worktree_remove.h).
#pragma once

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Gives a task the worktree `worktree_path` (else `path`) on branch `branch` (else `name`),
/// made from the primary checkout's HEAD. An existing checkout at that path is reported and
/// kept as it is; anything else standing there is deleted first. Both git runs take `timeout`
/// or 60 s, at least 15 s. Creates nothing outside the workspace, and nothing at all unless
/// every check passed. Nothing is rolled back on failure.
[[nodiscard]] RunnerResponse gitWorktreeAdd(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
