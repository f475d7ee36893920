// Starting a child inside the sandbox.
//
// Owns: the confined launch: its Landlock ruleset (writes beneath the call's workspace root,
// its git directories, its temporary directory, the terminal devices and "--writable"
// directories; with the network off, no TCP), its environment (an allowlist), standard input
// on /dev/null, a session of its own, and the seccomp program.
// Does not own: the call's state (call.h) or the wait (process.h).
//
// Why a raw child: the runner is threaded, so nothing may run between fork and exec but system
// calls. The parent prepares everything (ruleset descriptor, seccomp program, argument and
// environment arrays); a clone(CLONE_VM | CLONE_VFORK) child then makes only raw system calls
// up to execve, as posix_spawn does internally. An exec stage of our own binary would cost a
// second program start per child.
#pragma once

#include <string>
#include <vector>

#include "runner/process/spawn.h"

namespace OmviAgentRunnerMain {

/// Starts |launch| confined, within the call installed on this thread (call.h; outside a call
/// the child's directory stands for the root and there is no temporary directory). The child's
/// session is recorded with the call. Never throws past allocation.
[[nodiscard]] SpawnResult spawnConfined(const ProcessSpec& launch, const ChildPipes& pipes);

/// The environment of a confined child, from |inherited| ("NAME=value" entries): PATH, HOME,
/// USER, LOGNAME, SHELL, LANG, LC_*, TERM, TZ and the names in |extraNames|; TMPDIR set to
/// |temporaryDirectory| (dropped when that is ""); for git, GIT_TERMINAL_PROMPT=0 and
/// GIT_LITERAL_PATHSPECS=1. Pure.
[[nodiscard]] std::vector<std::string> confinedEnvironment(
    const std::vector<std::string>& inherited, const std::vector<std::string>& extraNames,
    const std::string& temporaryDirectory, bool git);

}  // namespace OmviAgentRunnerMain
