// The file names "git apply" takes from a diff's headers, read the way git apply reads them.
//
// Owns: finding the headers git parses (a "diff --git" line and its extended lines, or a
// "--- " / "+++ " pair before a hunk), skipping hunks by their line counts and binary data, the
// names of every header line (C-style quoting, the a/ b/ prefixes, "/dev/null", the name of the
// "diff --git" line when no other line gives one), how many leading components git strips
// (including the guess it makes for diffs without "diff --git"), and what each name is
// relative to.
// Does not own: confining the names (patch.h with workspace.h), or running git.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace OmviAgentRunnerMain {

/// What a name of a diff is relative to when git apply runs in a directory of a checkout.
enum class NameBase {
  kTopLevel,          ///< the checkout's top level ("diff --git" diffs)
  kWorkingDirectory,  ///< the directory git runs in (diffs of "--- " / "+++ " lines alone)
  kEither,            ///< not settled by the text alone: both readings are checked
};

struct HeaderName {
  std::string name;  ///< as git reads it: unquoted, prefix components removed, "//" squashed
  NameBase base;
};

/// Every name the headers of |diffText| give, in text order, repeats kept.
struct HeaderNames {
  std::vector<HeaderName> names;
  /// False when a header could not be read with certainty (a NUL byte, a quoted name that does
  /// not close on its line, a name line whose end git might place elsewhere): refuse the diff.
  bool confident = true;
};

/// Reads |diffText| as git apply (no options) reads it when started in a directory whose path
/// below the checkout's top level is |prefix| ("" at the top level, else ending in "/", as
/// "git rev-parse --show-prefix" prints it). Reads more than git does where that is simpler
/// (hunk bodies of a malformed diff, headers after a point where git would give up), never
/// less. Pure.
[[nodiscard]] HeaderNames diffHeaderNames(std::string_view diffText, std::string_view prefix);

}  // namespace OmviAgentRunnerMain
