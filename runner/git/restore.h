// `git_restore`: bringing named paths back to their state at HEAD.
//
// Owns: the restore run with its location options, the fallback to "checkout HEAD" when that
// run fails for any reason, and the texts. Does not own: the paths' confinement
// (repository.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// "restore" "--source=HEAD", then "--staged" unless |staged| is false, "--worktree" unless
/// |worktree| is false (absent counts as true), "--" and the pathspecs.
[[nodiscard]] std::vector<std::string> restoreArguments(const std::optional<bool>& staged,
                                                        const std::optional<bool>& worktree,
                                                        const std::vector<std::string>& pathspecs);

/// "checkout" "HEAD" "--" and the pathspecs: restores index and working tree alike.
[[nodiscard]] std::vector<std::string> checkoutArguments(const std::vector<std::string>& pathspecs);

/// Restores the request's `paths` (or `path`): the restore run, and only when it fails the
/// checkout run, whose output then stands in the answer. Success: "Restored N path(s) from
/// HEAD" with the pathspecs in `affected_paths`. When both fail: the checkout run's standard
/// error, else its standard output, else the runner's error, else "git restore failed".
[[nodiscard]] RunnerResponse gitRestore(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
