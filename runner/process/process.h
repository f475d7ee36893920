// Running one child under a time limit.
//
// Owns: spawning, draining both pipes while waiting, the TERM -> KILL escalation, the bounded
// final read, UTF-8 checking and capping of the captured text, and the mapping from a child's
// outcome to a response.
// Does not own: which program runs (shell.h, git_invocation.h).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "runner/records.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {

/// Grapheme clusters kept of each stream.
inline constexpr std::size_t kStdoutCap = 16000;
inline constexpr std::size_t kStderrCap = 8000;
/// Bytes kept of each stream, whatever its clusters: one cluster can be endless.
inline constexpr std::size_t kStdoutByteCap = std::size_t{1} << 20;
inline constexpr std::size_t kStderrByteCap = std::size_t{512} << 10;
/// The shortest time a child runs before the termination request.
inline constexpr double kShortestWait = 0.1;

struct ProcessSpec {
  std::string executable;              ///< absolute path; no search of PATH
  std::vector<std::string> arguments;  ///< after argv[0], passed unchanged
  std::string directory;               ///< the child's working directory; "" keeps the runner's
  double timeout = 30.0;               ///< seconds; raised to kShortestWait when lower
  InvalidText invalidStdout = InvalidText::kDiscard;  ///< standard output not valid UTF-8
};

/// How long each stage of the end of a run may take. Tests shorten them.
struct EscalationTimings {
  std::chrono::milliseconds grace{1500};      ///< after SIGTERM, before SIGKILL
  std::chrono::milliseconds killWait{1000};   ///< after SIGKILL, before giving up
  std::chrono::milliseconds finalDrain{250};  ///< reading after the child ended
};

/// What became of one child.
struct ChildOutcome {
  /// kCancelled: the call was cancelled (the child, if one was started, ended as at a time
  /// limit). kWaitFailed: waiting failed; the child was killed and reaped when possible.
  enum class End { kSpawnFailed, kExited, kStillRunning, kCancelled, kWaitFailed };
  End end = End::kSpawnFailed;
  std::string spawnError;  ///< kSpawnFailed and kWaitFailed: what went wrong
  int status = 0;          ///< kExited: the exit code, or the number of the ending signal
  std::string stdoutText;  ///< capped; not valid UTF-8, as `ProcessSpec::invalidStdout` says
  std::string stderrText;
};

/// Starts |launch| (spawnChild, spawn.h) and waits. The child gets the runner's environment and
/// standard input (the sandbox's, when it is on), a pipe each for standard output and error,
/// default signal dispositions and an empty signal mask; no other descriptor. Signals reach
/// the child's own process only (the sandbox ends the rest of the call's processes when the
/// call ends). Both pipes are
/// drained while waiting, and reading stops at most |timings.finalDrain| after the child
/// ended, so a descendant holding a pipe cannot hold the answer. The child is reaped before
/// return unless it survived SIGKILL, in which case a background thread reaps it later.
/// The call context of this thread (call_context.h) is honoured: once its cancel descriptor
/// is readable, no child starts, and a running one is ended as at its time limit; every byte
/// read from the pipes is added to its output counter. Never throws.
[[nodiscard]] ChildOutcome runChild(const ProcessSpec& launch,
                                    const EscalationTimings& timings = {});

/// Pure: the response for |outcome| ("spawn_failed: ...", "exit_" + status, "timeout",
/// "cancelled", "wait_failed: ...").
[[nodiscard]] RunnerResponse responseFromOutcome(const ChildOutcome& outcome);

/// `runChild` then `responseFromOutcome`.
[[nodiscard]] RunnerResponse runProcess(std::string executable, std::vector<std::string> arguments,
                                        std::string directory, double timeout,
                                        InvalidText invalidStdout = InvalidText::kDiscard);

/// True when |path| names an executable regular file.
[[nodiscard]] bool isExecutableFile(const std::string& path);

}  // namespace OmviAgentRunnerMain
