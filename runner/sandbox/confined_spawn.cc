#include "runner/sandbox/confined_spawn.h"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <mutex>

#include "runner/guard/path_text.h"
#include "runner/sandbox/call.h"
#include "runner/sandbox/landlock.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::array kAllowedNames{"PATH",  "HOME", "USER", "LOGNAME",
                                   "SHELL", "LANG", "TERM", "TZ"};
constexpr std::size_t kChildStack = std::size_t{64} * 1024;
constexpr unsigned kCloseRangeCloexec = 1U << 2;
constexpr int kLastSignal = 64;

// Everything the child needs, prepared by the parent; the child writes only |error|.
struct ChildPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* directory = nullptr;
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
  int rulesetFd = -1;
  const sock_fprog* filter = nullptr;
  std::array<char, 4> sessionNice{};  ///< the nice value for the child's session, as text
  std::size_t sessionNiceLength = 0;  ///< 0: the session keeps the default
  int error = 0;
};

// The child shares the parent's memory and runs on its own small stack while the parent waits:
// raw system calls only, no allocation, no library state, nothing instrumented.
__attribute__((no_sanitize("address", "undefined", "thread"))) int confinedChild(void* argument) {
  auto* plan = static_cast<ChildPlan*>(argument);
  const std::array<unsigned long, 4> defaultAction{};  // SIG_DFL, no flags, empty mask
  const unsigned long noSignals = 0;
  bool failed = syscall(SYS_setsid) < 0 || syscall(SYS_dup3, plan->stdinFd, 0, 0) < 0 ||
                syscall(SYS_dup3, plan->stdoutFd, 1, 0) < 0 ||
                syscall(SYS_dup3, plan->stderrFd, 2, 0) < 0;
  if (!failed) {
    // Every descriptor the runner owns is close-on-exec already; this covers any that is not.
    syscall(SYS_close_range, 3, ~0U, kCloseRangeCloexec);
    if (plan->sessionNiceLength > 0) {
      // Best effort: without autogroup in the kernel, or past its limit of one change per
      // 100 ms for a caller without CAP_SYS_ADMIN, the session keeps the default weight.
      const long fd = syscall(SYS_openat, AT_FDCWD, "/proc/self/autogroup", O_WRONLY | O_CLOEXEC);
      if (fd >= 0) {
        syscall(SYS_write, fd, plan->sessionNice.data(), plan->sessionNiceLength);
        syscall(SYS_close, fd);
      }
    }
    failed = plan->directory != nullptr && syscall(SYS_chdir, plan->directory) < 0;
  }
  for (int number = 1; !failed && number <= kLastSignal; ++number) {
    if (number != SIGKILL && number != SIGSTOP) {
      syscall(SYS_rt_sigaction, number, defaultAction.data(), nullptr, sizeof noSignals);
    }
  }
  failed = failed || syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 ||
           (plan->rulesetFd >= 0 && syscall(SYS_landlock_restrict_self, plan->rulesetFd, 0) < 0) ||
           (plan->filter != nullptr &&
            syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, plan->filter) < 0) ||
           syscall(SYS_rt_sigprocmask, SIG_SETMASK, &noSignals, nullptr, sizeof noSignals) < 0;
  if (!failed) syscall(SYS_execve, plan->path, plan->argv, plan->envp);
  plan->error = errno != 0 ? errno : EINVAL;
  syscall(SYS_exit, 127);
  return 127;
}

bool isGit(const ProcessSpec& launch) {
  if (lastPathComponent(launch.executable) == "git") return true;
  return lastPathComponent(launch.executable) == "env" && !launch.arguments.empty() &&
         launch.arguments.front() == "git";
}

bool addDirectory(int ruleset, const std::string& path, std::uint64_t rights) {
  const UniqueFd fd(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  const landlock::PathBeneathAttr rule{rights, fd.get()};
  return landlock::addRule(ruleset, landlock::kRulePathBeneath, &rule) == 0;
}

// The ruleset for one child: every write refused but beneath |directories|, the "--writable"
// ones and the terminal devices; TCP refused with the network off; signals kept in the call.
UniqueFd buildRuleset(const std::vector<std::string>& directories) {
  const PreparedSandbox& prepared = preparedSandbox();
  const int abi = prepared.kernel.landlockAbi;
  if (abi < 1) return {};
  landlock::RulesetAttr attr;
  attr.handledAccessFs = landlock::writeRights(abi);
  if (abi >= 4 && sandboxSettings().noNetwork) {
    attr.handledAccessNet = landlock::kBindTcp | landlock::kConnectTcp;
  }
  if (abi >= 6) attr.scoped = landlock::kScopeSignal;
  UniqueFd ruleset(landlock::createRuleset(&attr, sizeof attr, 0));
  if (!ruleset.valid()) return {};
  for (const std::string& directory : directories)
    addDirectory(ruleset.get(), directory, attr.handledAccessFs);
  auto add = [&](const UniqueFd& fd, std::uint64_t rights) {
    const landlock::PathBeneathAttr rule{rights, fd.get()};
    if (fd.valid()) landlock::addRule(ruleset.get(), landlock::kRulePathBeneath, &rule);
  };
  for (const UniqueFd& fd : prepared.writable)
    add(fd, attr.handledAccessFs);
  for (const UniqueFd& fd : prepared.devices)
    add(fd, landlock::deviceRights(abi));
  add(prepared.terminals, landlock::deviceRights(abi));
  return ruleset;
}

// Where the kernel schedules each session as a group of its own (autogroup), the child's new
// session would compete at full weight with everything else on the machine, whatever the
// nice value its processes inherit. So the session takes the nice value of the thread that
// starts it; at 0 there is nothing to change.
void planSessionNice(ChildPlan& plan) {
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  if (errno != 0 || nice <= 0) return;
  const auto [end, error] = std::to_chars(plan.sessionNice.data(),
                                          plan.sessionNice.data() + plan.sessionNice.size(), nice);
  if (error == std::errc{})
    plan.sessionNiceLength = static_cast<std::size_t>(end - plan.sessionNice.data());
}

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (const std::string& text : texts)
    result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

}  // namespace

std::vector<std::string> confinedEnvironment(const std::vector<std::string>& inherited,
                                             const std::vector<std::string>& extraNames,
                                             const std::string& temporaryDirectory, bool git) {
  std::vector<std::string> result;
  for (const std::string& entry : inherited) {
    const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
    if (name.size() == entry.size() || name == "TMPDIR") continue;
    const bool allowed =
        name.starts_with("LC_") ||
        std::find(kAllowedNames.begin(), kAllowedNames.end(), name) != kAllowedNames.end() ||
        std::find(extraNames.begin(), extraNames.end(), name) != extraNames.end();
    const bool overridden =
        git && (name == "GIT_TERMINAL_PROMPT" || name == "GIT_LITERAL_PATHSPECS");
    if (allowed && !overridden) {
      result.push_back(entry);
    }
  }
  if (!temporaryDirectory.empty()) result.push_back("TMPDIR=" + temporaryDirectory);
  if (git) {
    result.emplace_back("GIT_TERMINAL_PROMPT=0");
    result.emplace_back("GIT_LITERAL_PATHSPECS=1");
  }
  return result;
}

SpawnResult spawnConfined(const ProcessSpec& launch, const ChildPipes& pipes) {
  SandboxCall* call = SandboxCall::current();
  std::string root = call != nullptr ? call->root() : "";
  if (root.empty()) root = launch.directory;
  const std::string temporary = call != nullptr ? call->temporaryDirectory() : "";

  std::vector<std::string> directories{root};
  if (!temporary.empty()) directories.push_back(temporary);
  for (const std::string& directory : {root, launch.directory}) {
    if (directory.empty()) continue;
    const auto found =
        call != nullptr ? call->gitDirectories(directory) : findGitDirectories(directory);
    directories.insert(directories.end(), found.begin(), found.end());
  }
  const UniqueFd ruleset = buildRuleset(directories);

  std::vector<std::string> inherited;
  for (char** entry = environ; *entry != nullptr; ++entry)
    inherited.emplace_back(*entry);
  const std::vector<std::string> environment =
      confinedEnvironment(inherited, sandboxSettings().environment, temporary, isGit(launch));
  std::vector<std::string> arguments{launch.executable};
  arguments.insert(arguments.end(), launch.arguments.begin(), launch.arguments.end());
  const std::vector<char*> argv = pointers(arguments);
  const std::vector<char*> envp = pointers(environment);

  const PreparedSandbox& prepared = preparedSandbox();
  const sock_fprog filter{static_cast<unsigned short>(prepared.filter.size()),
                          const_cast<sock_filter*>(prepared.filter.data())};
  ChildPlan plan;
  plan.path = launch.executable.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.directory = launch.directory.empty() ? nullptr : launch.directory.c_str();
  plan.stdinFd = prepared.devNull.get();
  plan.stdoutFd = pipes.stdoutWrite;
  plan.stderrFd = pipes.stderrWrite;
  plan.rulesetFd = ruleset.get();
  plan.filter = prepared.filter.empty() ? nullptr : &filter;
  planSessionNice(plan);

  SpawnResult result;
  std::unique_lock start(childStartLock());
  void* stack = mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) {
    result.error = errno;
    return result;
  }
  // Every signal blocked (the C library's own included) until the child has reset the
  // dispositions: no handler of the runner may run on the child's stack.
  const unsigned long allSignals = ~0UL;
  unsigned long previous = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &allSignals, &previous, sizeof previous);
  const pid_t pid = clone(confinedChild, static_cast<char*>(stack) + kChildStack,
                          CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  const int cloneError = errno;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &previous, nullptr, sizeof previous);
  munmap(stack, kChildStack);
  start.unlock();

  if (pid < 0) {
    result.error = cloneError;
  } else if (plan.error != 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.error = plan.error;
  } else {
    result.pid = pid;
    if (call != nullptr) call->addSession(pid);
  }
  return result;
}

}  // namespace OmviAgentRunnerMain
