// `git_branch_create` and `git_branch_switch`: changing the checkout's current branch.
//
// Owns: the branch field (`name` first, then `branch`), the two checkout argument lists and the
// texts, as one table. Does not own: what a valid name is (names.h).
#pragma once

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// "checkout" "-b" and the validated branch. Success: "Created and switched to branch <name>".
[[nodiscard]] RunnerResponse gitBranchCreate(const RunnerRequest& request);

/// "checkout" and the validated branch. Success: "Switched to branch <name>".
///
/// Both: the branch is `name`, else `branch`, trimmed; "invalid_branch" when it is not a valid
/// name (blank included), checked after the repository. A failed run answers git's standard
/// error, else its standard output, else the runner's error, else "git checkout -b failed" or
/// "git checkout failed".
[[nodiscard]] RunnerResponse gitBranchSwitch(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
