// Starting git, and asking whether a directory is inside a repository.
//
// Owns: the choice between "/usr/bin/git" and git through "/usr/bin/env" (made afresh on
// every call), and the repository probe.
// Does not own: which git commands run (the operations decide) or what their output means.
#pragma once

#include <string>
#include <vector>

#include "runner/records.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {

inline constexpr std::string_view kNoGitRepository = "No git repository found";

/// Runs git with |args| in |directory| under |timeout| seconds; the response of `runProcess`
/// unchanged. No option, environment variable, pager or prompt setting is added, except under
/// the sandbox: there status, log, diff and branch run with "-c core.hooksPath=/dev/null -c
/// core.fsmonitor=false" before their arguments (and the child's environment is the sandbox's,
/// confined_spawn.h).
[[nodiscard]] RunnerResponse runGit(std::vector<std::string> args, std::string directory,
                                    double timeout,
                                    InvalidText invalidStdout = InvalidText::kDiscard);

/// True when |directory| has a ".git" entry (file or directory, even a broken one), or else
/// when "git rev-parse --show-toplevel" succeeds there within 5 s.
[[nodiscard]] bool isGitRepo(const std::string& directory);

}  // namespace OmviAgentRunnerMain
