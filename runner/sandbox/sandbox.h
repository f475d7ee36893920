// The kernel-enforced sandbox around every child process: its switches, what this kernel can
// enforce, and the process-wide settings that the spawn step reads.
//
// Owns: `SandboxSettings`, reading them from the command line, the one start that checks the
// kernel, makes the runner a child subreaper and prepares what every confined child needs
// (the seccomp program, descriptors of the always-writable devices), and the status text.
// Does not own: one call's share (call.h: its temporary directory, its git directories, ending
// its processes) or starting a confined child (confined_spawn.h).
#pragma once

#include <linux/filter.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "runner/posix.h"

namespace OmviAgentRunnerMain {

/// What the sandbox is asked to do. The default is no sandbox: children run as they always did.
struct SandboxSettings {
  bool enabled = false;                  ///< "--sandbox", "--sandbox=best-effort", OMVI_SANDBOX=1
  bool bestEffort = false;               ///< run with what the kernel offers
  bool noNetwork = false;                ///< "--no-network"
  std::vector<std::string> writable;     ///< "--writable DIR", each absolute and standardised
  std::vector<std::string> environment;  ///< "--env NAME": passed on besides the allowlist

  bool operator==(const SandboxSettings&) const = default;
};

/// The switches as read from the command line.
struct SandboxSwitches {
  SandboxSettings settings;
  bool statusWanted = false;  ///< "--sandbox-status"
  std::string error;          ///< a switch without its value, or a malformed one; "" when none
};

/// Reads "--sandbox", "--sandbox=best-effort", "--sandbox-status", "--no-network",
/// "--writable DIR" and "--env NAME" from |arguments| (the program's path first), and the
/// environment variable OMVI_SANDBOX (|omviSandbox|, null when unset: "1" enables). A relative
/// DIR is taken from |currentDirectory|. The argument after "--json" is never a switch. Pure.
[[nodiscard]] SandboxSwitches parseSandboxSwitches(std::span<const std::string> arguments,
                                                   const char* omviSandbox,
                                                   const std::string& currentDirectory);

/// What the running kernel offers.
struct KernelSupport {
  int landlockAbi = 0;  ///< 0: no Landlock
  bool seccomp = false;
};

/// Asks the kernel (cheap: two system calls).
[[nodiscard]] KernelSupport probeKernel();

/// What |settings| get from |kernel|: one line per guarantee, and the first guarantee that cannot
/// be kept ("" when every one is). Pure.
struct Enforcement {
  std::vector<std::string> lines;
  std::string missing;
};
[[nodiscard]] Enforcement describeEnforcement(const SandboxSettings& settings,
                                              KernelSupport kernel);

/// Turns the sandbox on for this process. Call once at start, before any thread exists and
/// before any child runs; the settings never change afterwards. Returns the reason it refuses
/// (the kernel cannot enforce it and best effort was not asked for, or a "--writable" directory
/// cannot be opened) as one sentence; nothing when the sandbox is on (or |settings| leave it
/// off). This is the whole interface a front end (the command line, the service, the MCP
/// server) needs.
[[nodiscard]] std::optional<std::string> enableSandbox(const SandboxSettings& settings);

/// The settings in force (all off unless `enableSandbox` turned them on).
[[nodiscard]] const SandboxSettings& sandboxSettings();

/// What every confined child shares, prepared once by `enableSandbox`.
struct PreparedSandbox {
  KernelSupport kernel;
  std::vector<sock_filter> filter;  ///< the seccomp program; empty when the kernel has none
  UniqueFd devNull;                 ///< read-only, the children's standard input
  std::vector<UniqueFd> writable;   ///< O_PATH: the "--writable" directories
  std::vector<UniqueFd> devices;    ///< O_PATH: /dev/null, /dev/tty, /dev/ptmx (files)
  UniqueFd terminals;               ///< O_PATH: /dev/pts (a directory)
};

/// Valid only while `sandboxSettings().enabled`.
[[nodiscard]] const PreparedSandbox& preparedSandbox();

}  // namespace OmviAgentRunnerMain
