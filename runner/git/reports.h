// `git_status`, `git_log` and `git_branch_list`: read-only reports on the repository.
//
// Owns: each report's argument list and texts, as one table, and the log's count. Git's output
// goes back in `stdout` as it came: nothing here parses, trims or counts it.
#pragma once

#include <cstdint>
#include <optional>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// How many commits "git_log" lists: 10 when absent, else |count| kept within 1..100.
[[nodiscard]] std::int64_t logCount(const std::optional<std::int64_t>& count);

/// "status" "--porcelain=1" "--branch". Success message "status".
[[nodiscard]] RunnerResponse gitStatus(const RunnerRequest& request);

/// "log" "--oneline" "-<count>". Success message "log".
[[nodiscard]] RunnerResponse gitLog(const RunnerRequest& request);

/// "branch" "--list". Success message "branch_list".
///
/// All three: a failed run answers git's standard error, else the runner's error, else "git
/// status failed", "git log failed" or "git branch --list failed"; never git's standard output.
[[nodiscard]] RunnerResponse gitBranchList(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
