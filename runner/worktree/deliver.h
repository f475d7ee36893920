// Delivering a task: the `git_deliver` operation.
//
// Owns: committing what a task left uncommitted in its worktree, finding what the primary
// checkout has checked out, merging the task's branch into it, the optional removal of the
// worktree afterwards, and the commit and merge messages.
// Does not own: the shared request checks (task_request.h) or the removal itself
// (worktree_remove.h).
#pragma once

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Commits the leftovers of `worktree_path` (else `path`), then merges `branch` (else `name`)
/// into whatever the primary checkout has checked out: "--no-ff" unless `no_ff` is false,
/// within `timeout` or 90 s, at least 15 s. With `prune` true a successful merge is followed
/// by the worktree's removal, whose failure only changes the message. A clean worktree whose
/// branch is not ahead is "Nothing to deliver", a success. A failed merge is left as git left
/// it (a conflict stays in git's merging state) and the worktree is kept. Nothing is undone.
[[nodiscard]] RunnerResponse gitDeliver(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
