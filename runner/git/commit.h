// `git_commit`: recording what the index holds as a new commit.
//
// Owns: the message's trimming and the answer's texts. Stages nothing (index.h does).
#pragma once

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Runs "commit" "-m" and the trimmed `message` (one argument, inner line breaks kept) in the
/// repository at the root. "commit message is required" when the message is blank, checked
/// after the repository. Success: "Commit created". A failed run answers git's standard error,
/// else its standard output, else the runner's error, else "git commit failed".
[[nodiscard]] RunnerResponse gitCommit(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
