// `git_diff`: the unstaged, staged or branch changes as a unified diff, optionally for one path.
//
// Owns: the scope's argument lists, the base branch of the branch scope, the optional path,
// the rule that exit status 1 is no failure, and the cap on the returned text with its marker.
// Does not own: the path's confinement (workspace.h) or what a valid name is (names.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// A diff longer than this many UTF-8 bytes is cut to as many grapheme clusters, and marked.
inline constexpr std::size_t kDiffCap = 48000;
inline constexpr std::string_view kDiffTruncatedMarker = "\n\u2026(diff truncated)";

enum class DiffScope { kUnstaged, kStaged, kBranch };

/// |scope| trimmed and lower-cased: "staged", "branch", and anything else (absent too) unstaged.
[[nodiscard]] DiffScope diffScope(const std::optional<std::string>& scope);

/// "diff", then "--staged" or "<base>...HEAD" by |scope| (|base| is read for kBranch only), then
/// "--" and |pathspec| when one is given.
[[nodiscard]] std::vector<std::string> diffArguments(DiffScope scope, const std::string& base,
                                                     const std::optional<std::string>& pathspec);

/// |text| unchanged up to kDiffCap bytes; past that, its first kDiffCap grapheme clusters (and
/// no more bytes than keep the whole within kStdoutByteCap) and the marker. |text| is valid UTF-8
/// (the runner's captured output always is).
[[nodiscard]] std::string capDiffText(std::string text);

/// True only when the run failed with an exit status other than 1. A status of 1 and a run
/// without a status (git could not start) are answered as a diff.
[[nodiscard]] bool diffRunFailed(const RunnerResponse& run);

/// Shows the diff of the request's `scope` (`base_branch` "main" when absent; refused as
/// "invalid_base_branch" before the path is looked at), limited to `path` when it is not blank.
/// Success: message "diff", the capped text in `stdout`, `exit_status` 0. A failed run answers
/// git's standard error, else the runner's error, else "git diff failed", its output uncapped.
[[nodiscard]] RunnerResponse gitDiff(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
