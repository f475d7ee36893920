// `git_push`: sending the repository's commits to a remote.
//
// Owns: the remote and branch fields with their fallbacks, the pruning fetch that always runs
// first (its outcome never matters), the probe for the current branch when an upstream is to
// be set without a named branch, the push's argument list and time limits, and the texts.
// Does not own: what a valid name is (names.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// The push run's limit and the fetch's: `timeout` or 60 s, at least 15 s; the fetch gets the
/// same, at most 30 s.
struct PushLimits {
  double push;
  double fetch;
};
[[nodiscard]] PushLimits pushLimits(const std::optional<double>& timeout);

/// "push", then "-u" when |setUpstream|, then |remote| and |branch| when a branch is given;
/// "push" alone without a branch and without an upstream (git then follows its own
/// configuration). |branch| is already validated; |setUpstream| always comes with one.
[[nodiscard]] std::vector<std::string> pushArguments(const std::string& remote,
                                                     const std::optional<std::string>& branch,
                                                     bool setUpstream);

/// Validates `remote` ("origin" when absent; "invalid_remote"), fetches it with "--prune",
/// then picks the branch (`branch`, else `name`; "invalid_branch"; with `set_upstream` and no
/// branch the current one from "rev-parse --abbrev-ref HEAD", or "branch is required for
/// set_upstream") and pushes. Success: "Push succeeded" with the push run's output. A failed
/// push answers git's standard error, else its standard output, else the runner's error, else
/// "git push failed". Nothing of the fetch or the probe is reported.
[[nodiscard]] RunnerResponse gitPush(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
