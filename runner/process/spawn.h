// Starting one child: the step between preparing a run and waiting for it.
//
// Owns: the launch itself, with or without the sandbox. Does not own: the pipes (their owner
// closes the write ends after the call), the wait, or the reaping (process.h).
#pragma once

#include <sys/types.h>

#include <mutex>

#include "runner/process/process.h"
#include "runner/sandbox/sandbox.h"

namespace OmviAgentRunnerMain {

/// The write ends that become the child's standard output and error.
struct ChildPipes {
  int stdoutWrite = -1;
  int stderrWrite = -1;
};

struct SpawnResult {
  pid_t pid = -1;
  int error = 0;  ///< errno of the failed step; 0 when the child runs |launch|'s program
};

/// Held by whoever starts a child, one start at a time in the whole runner. A start maps a
/// stack and, until the child's exec, shares the runner's address space: many at once (a burst
/// of calls on lower-priority workers) queue on the address-space lock, which the service's
/// I/O thread needs for its own page faults, and keep it waiting for tens of milliseconds.
[[nodiscard]] std::mutex& childStartLock();

/// Starts |launch| with |pipes| as descriptors 1 and 2 and no other descriptor beyond 0; default
/// signal dispositions and an empty mask. Without |sandbox|.enabled it inherits the runner's
/// standard input and environment (posix_spawn). With it, the child is confined before it runs
/// (confined_spawn.h). On error no child remains.
[[nodiscard]] SpawnResult spawnChild(const ProcessSpec& launch, const ChildPipes& pipes,
                                     const SandboxSettings& sandbox);

}  // namespace OmviAgentRunnerMain
