#include "runner/sandbox/sandbox.h"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "runner/guard/path_text.h"
#include "runner/sandbox/landlock.h"
#include "runner/sandbox/seccomp_programs.h"

namespace OmviAgentRunnerMain {
namespace {

SandboxSettings activeSettings;
PreparedSandbox prepared;

// The seccomp program every confined child gets, compiled at build time; each child installs
// it with a raw system call (the child may call no library code).
std::vector<sock_filter> filterProgram(bool noNetwork) {
  if (noNetwork) {
    return {std::begin(seccomp_programs::kNetworkOff), std::end(seccomp_programs::kNetworkOff)};
  }
  return {std::begin(seccomp_programs::kNetworkOn), std::end(seccomp_programs::kNetworkOn)};
}

UniqueFd openPath(const std::string& path, int flags) {
  return UniqueFd(open(path.c_str(), O_PATH | O_CLOEXEC | flags));
}

}  // namespace

SandboxSwitches parseSandboxSwitches(std::span<const std::string> arguments,
                                     const char* omviSandbox, const std::string& currentDirectory) {
  SandboxSwitches switches;
  SandboxSettings& settings = switches.settings;
  if (omviSandbox != nullptr && std::string_view(omviSandbox) == "1") settings.enabled = true;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json") {
      ++i;
    } else if (argument == "--sandbox") {
      settings.enabled = true;
    } else if (argument == "--sandbox=best-effort") {
      settings.enabled = true;
      settings.bestEffort = true;
    } else if (argument == "--sandbox-status") {
      switches.statusWanted = true;
    } else if (argument == "--no-network") {
      settings.noNetwork = true;
    } else if (argument == "--writable" || argument == "--env") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
        switches.error = argument + " needs a value";
        return switches;
      }
      const std::string& value = arguments[++i];
      if (argument == "--env") {
        if (value.find('=') != std::string::npos) {
          switches.error = "--env takes a variable's name";
          return switches;
        }
        settings.environment.push_back(value);
      } else {
        const std::string absolute =
            value.front() == '/' ? value : appendingPathComponent(currentDirectory, value);
        settings.writable.push_back(standardizePath(absolute));
      }
    }
  }
  return switches;
}

KernelSupport probeKernel() {
  KernelSupport kernel;
  const int abi = landlock::createRuleset(nullptr, 0, landlock::kCreateRulesetVersion);
  kernel.landlockAbi = abi > 0 ? abi : 0;
  // Asking for the filter action's availability needs no filter and changes nothing.
  const unsigned action = SECCOMP_RET_ERRNO;
  kernel.seccomp = syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0;
  return kernel;
}

Enforcement describeEnforcement(const SandboxSettings& settings, KernelSupport kernel) {
  Enforcement result;
  auto line = [&](bool kept, const std::string& what, const std::string& how) {
    result.lines.push_back(what + ": " + (kept ? how : "NOT ENFORCED"));
    if (!kept && result.missing.empty()) result.missing = what;
  };
  const int abi = kernel.landlockAbi;
  // Truncation is a write; before the third version Landlock cannot refuse it.
  line(abi >= 3, "writes confined to the workspace",
       "Landlock ABI " + std::to_string(abi) + (abi >= 5 ? ", device ioctls included" : ""));
  line(kernel.seccomp, "no survivors",
       "own session per child, setsid held to it by seccomp, runner is a child subreaper");
  if (settings.noNetwork) {
    line(kernel.seccomp, "network off",
         std::string("no IPv4/IPv6 sockets (seccomp)") +
             (abi >= 4 ? ", TCP bind and connect refused (Landlock)" : ""));
  } else {
    result.lines.emplace_back("network: open (no --no-network)");
  }
  result.lines.emplace_back(abi >= 6 ? "signals: only to processes of the call (Landlock scope)"
                                     : "signals: not scoped (Landlock before ABI 6)");
  result.lines.emplace_back(
      "environment: allowlist; standard input /dev/null; git hooks and fsmonitor off for "
      "read-only git");
  return result;
}

std::optional<std::string> enableSandbox(const SandboxSettings& settings) {
  if (!settings.enabled) return std::nullopt;
  prepared.kernel = probeKernel();
  const Enforcement enforcement = describeEnforcement(settings, prepared.kernel);
  if (!enforcement.missing.empty() && !settings.bestEffort) {
    return "the kernel cannot enforce the sandbox (" + enforcement.missing +
           "); --sandbox=best-effort runs with what it offers";
  }
  for (const std::string& directory : settings.writable) {
    UniqueFd fd = openPath(directory, O_DIRECTORY);
    if (!fd.valid()) return "--writable " + directory + ": " + errnoText(errno);
    prepared.writable.push_back(std::move(fd));
  }
  prepared.devNull = UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!prepared.devNull.valid()) return "/dev/null: " + errnoText(errno);
  for (const char* device : {"/dev/null", "/dev/tty", "/dev/ptmx"}) {
    UniqueFd fd = openPath(device, 0);
    if (fd.valid()) prepared.devices.push_back(std::move(fd));
  }
  prepared.terminals = openPath("/dev/pts", O_DIRECTORY);
  if (prepared.kernel.seccomp) prepared.filter = filterProgram(settings.noNetwork);
  // Orphans of a call become the runner's, so that the call's end can reap what it kills.
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  activeSettings = settings;
  return std::nullopt;
}

const SandboxSettings& sandboxSettings() {
  return activeSettings;
}

const PreparedSandbox& preparedSandbox() {
  return prepared;
}

}  // namespace OmviAgentRunnerMain
