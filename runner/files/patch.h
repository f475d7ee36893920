// `apply_diff`: applying a unified diff to the checkout at the workspace root, or checking it.
//
// Owns: the new-file paths a diff names, the confinement of those and of every header name (as
// git reads it from the checkout's top level) before git sees the diff, the temporary diff file
// in the root (written atomically, removed whatever git's outcome), the "apply" run and its
// texts.
// Does not own: the confinement rule (workspace.h), reading the headers (diff_headers.h) or the
// atomic write (confined_fs.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// The paths of |diffText|'s new-file lines: "+++ b/<path>", or "+++ <path>" unless it is
/// "+++ /dev/null", wherever the line stands (a hunk's added line "++ x" counts too), each
/// taken verbatim to the end of its line. Lines end at line feeds only: a CR LF pair ends no
/// line. Unique and sorted by code point after canonical composition (NFC); of canonically
/// equal paths the first one written is kept, as written. Pure.
[[nodiscard]] std::vector<std::string> diffPaths(std::string_view diffText);

/// ".omvi-agent-runner-" + a fresh random version-4 UUID in upper case + ".diff".
[[nodiscard]] std::string temporaryDiffName();

/// Checks `diff` ("diff is required"), the root and the repository, confines every path of
/// the diff: each new-file path from the root, and each name its headers give ("diff --git",
/// "--- ", "+++ ", renames, copies) the way git apply reads it, which "rev-parse --show-prefix"
/// (5 s) settles. A name outside the root, a header that cannot be read with certainty or a
/// failed probe is "path_outside_workspace", with the sorted new-file paths and header names,
/// before anything is written. Then it
/// runs "apply" (with "--check" for `dry_run`) on a temporary copy of the diff, with a line
/// feed appended when it lacks one. Success: "Diff applied" or "Diff is valid", then ": " and
/// git's first non-blank output, trimmed, when it printed any. Failure: git's first non-blank
/// standard error, standard output or the runner's error, trimmed, else "git apply failed".
/// `affected_paths` carries the sorted paths in the refusal of a path and after git ran.
[[nodiscard]] RunnerResponse applyDiff(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
