// The operations that change the workspace directly: `write_file`, `mkdir`, `delete_file`.
//
// Owns: their field checks, in order, and their response shapes.
// Does not own: confinement (workspace.h) or the descriptor-based actions (confined_fs.h).
#pragma once

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Writes `content` (required, may be empty) to `path` atomically, making missing parents.
[[nodiscard]] RunnerResponse writeFile(const RunnerRequest& request);

/// Makes the directory `path` with every missing parent; an existing directory is success.
[[nodiscard]] RunnerResponse mkdir(const RunnerRequest& request);

/// Removes `path` (a whole tree for a directory); success with "deleted" even when absent.
[[nodiscard]] RunnerResponse deleteFile(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
