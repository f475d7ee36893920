// The `shell` operation: one command line through zsh, in the workspace, under a time limit.
//
// Owns: finding zsh, the command's trimming, the working directory fallback and the limit.
// Does not own: the run itself (process.h).
#pragma once

#include <string>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// "/bin/zsh" when executable, else "/usr/bin/zsh"; "" when neither is (zsh is then started
/// through "/usr/bin/env").
[[nodiscard]] std::string zshPath();

/// Runs the trimmed `command` with zsh "-c" in the resolved root (the runner's own directory
/// when none is given), `timeout` or 30 s, at least 1 s. "command is required" when blank.
[[nodiscard]] RunnerResponse shell(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
