// `git_stage` and `git_unstage`: putting named paths into the index, or taking them out.
//
// Owns: the choice of git command (add; restore --staged once HEAD has a commit, rm --cached
// before that), the HEAD probe that makes the choice, and the answer's texts.
// Does not own: the paths' confinement (repository.h) or the failure-text rule (git_answer.h).
#pragma once

#include <string>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// The index run's arguments: "add" "--" for |add|; otherwise "restore" "--staged" "--" when
/// the repository |hasCommit| at HEAD, else "rm" "--cached" "-f" "--"; then the pathspecs.
[[nodiscard]] std::vector<std::string> indexArguments(bool add, bool hasCommit,
                                                      const std::vector<std::string>& pathspecs);

/// Stages (|add|) or unstages the request's `paths` (or `path`). Success: "Staged N path(s)" or
/// "Unstaged N path(s)" with the pathspecs in `affected_paths`. A failed run answers git's
/// standard error, never its standard output.
[[nodiscard]] RunnerResponse mutateGitIndex(const RunnerRequest& request, bool add);

/// The dispatcher's two entries: `mutateGitIndex` with |add| true and false.
[[nodiscard]] RunnerResponse gitStage(const RunnerRequest& request);
[[nodiscard]] RunnerResponse gitUnstage(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
