// Whether a directory is a linked worktree of the primary checkout's repository.
//
// Owns: the identity test that delivery and removal make before acting on a worktree path: the
// checkout git finds there starts at that very path, and its repository is the primary's.
// Does not own: where worktrees may lie (isolation_area.h) or confinement (workspace.h).
#pragma once

#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

inline constexpr std::string_view kWorktreeNotLinked = "worktree_not_linked";

/// True when git, run in |path|, finds a linked worktree whose top level is |path| itself,
/// whose git directory is an entry under "worktrees" of its git common directory that names
/// "|path|/.git" back, and whose git common directory is |primary|'s (all compared as real
/// paths). A directory that lost its ".git" (git then finds the enclosing checkout), a ".git"
/// file pointing at another repository, at the primary's own git directory or at another
/// worktree's entry all answer false, as does any probe that fails. Runs git twice at most,
/// 5 s each: "rev-parse --path-format=absolute --show-toplevel --git-common-dir --git-dir" in
/// |path|, then "rev-parse --path-format=absolute --git-common-dir" in |primary|.
[[nodiscard]] bool isLinkedWorktreeOf(const std::string& path, const std::string& primary);

}  // namespace OmviAgentRunnerMain
