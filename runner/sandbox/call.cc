#include "runner/sandbox/call.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>

#include "runner/files/confined_fs.h"
#include "runner/guard/path_text.h"
#include "runner/posix.h"

namespace OmviAgentRunnerMain {
namespace {

thread_local SandboxCall* installed = nullptr;

// How long the end of a call waits for the processes it killed to go.
constexpr auto kEndWait = std::chrono::milliseconds(1000);
// Names tried for the temporary directory before giving up.
constexpr int kNameAttempts = 8;
// Rounds of looking for the call's processes in other process groups of its sessions.
constexpr int kSweepRounds = 8;

std::optional<std::string> realPath(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string text(resolved);
  std::free(resolved);
  return text;
}

// The path named by a git link file ("gitdir: PATH" / a "commondir" holding PATH), relative to
// |base| unless absolute; none when unreadable.
std::optional<std::string> readLink(const std::string& file, const std::string& base,
                                    std::string_view prefix) {
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line) || !line.starts_with(prefix)) return std::nullopt;
  line.erase(0, prefix.size());
  if (line.empty()) return std::nullopt;
  return line.front() == '/' ? line : appendingPathComponent(base, line);
}

// Reaps every ended child of the runner that matches |type| and |id|, without waiting; false
// when no child matches at all. Only ever asked for processes of the call: a group or a process
// of its sessions, which no run of another call can share; the call's own runs have reaped
// their children before it ends.
bool reapEnded(idtype_t type, id_t id) {
  while (true) {
    siginfo_t info{};
    if (waitid(type, id, &info, WEXITED | WNOHANG) != 0) return errno != ECHILD;
    if (info.si_pid == 0) return true;
  }
}

// Whether the runner has any child at all, looked at without reaping one.
bool hasChildren() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 || errno != ECHILD;
}

// The processes whose session is one of |sessions|.
std::vector<pid_t> membersOf(const std::vector<pid_t>& sessions) {
  std::vector<pid_t> members;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return members;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const pid_t session = getsid(static_cast<pid_t>(pid));
    for (const pid_t wanted : sessions) {
      if (session == wanted) members.push_back(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return members;
}

}  // namespace

std::vector<std::string> findGitDirectories(const std::string& directory) {
  std::string dir = standardizePath(directory);
  while (!dir.empty()) {
    const std::string dotGit = appendingPathComponent(dir, ".git");
    struct stat status {};
    if (stat(dotGit.c_str(), &status) == 0) {
      if (S_ISDIR(status.st_mode)) return {dotGit};
      const auto named = readLink(dotGit, dir, "gitdir: ");
      if (!named) return {};
      const auto gitDir = realPath(*named);
      const auto back = gitDir ? readLink(*gitDir + "/gitdir", *gitDir, "") : std::nullopt;
      const auto self = realPath(dotGit);
      if (!gitDir || !back || realPath(*back) != self) return {};
      std::vector<std::string> found{*gitDir};
      const auto common = readLink(*gitDir + "/commondir", *gitDir, "");
      const auto commonDir = common ? realPath(*common) : std::nullopt;
      const std::string folder = deletingLastPathComponent(*gitDir);
      if (commonDir && lastPathComponent(folder) == "worktrees" &&
          deletingLastPathComponent(folder) == *commonDir) {
        found.push_back(*commonDir);
      }
      return found;
    }
    if (dir == "/") break;
    dir = deletingLastPathComponent(dir);
  }
  return {};
}

SandboxCall::SandboxCall(std::string workspaceRoot)
    : root_(std::move(workspaceRoot)), previous_(installed) {
  installed = this;
}

SandboxCall::~SandboxCall() {
  // Only memory can run out here; the call is answered all the same.
  try {
    endProcesses();
    // An empty directory goes with one system call; a filled one is removed as a tree, its
    // links never followed.
    if (!temporaryDirectory_.empty() &&
        unlinkat(temporaryParent_.get(), temporaryName_.c_str(), AT_REMOVEDIR) != 0) {
      (void)removeEntryAt(temporaryParent_.get(), temporaryName_, temporaryDirectory_);
    }
  } catch (const std::exception&) {
  }
  installed = previous_;
}

SandboxCall* SandboxCall::current() {
  return installed;
}

const std::string& SandboxCall::temporaryDirectory() {
  if (temporaryTried_) return temporaryDirectory_;
  temporaryTried_ = true;
  const char* base = std::getenv("TMPDIR");
  const std::string parent = standardizePath(base != nullptr && base[0] == '/' ? base : "/tmp");
  temporaryParent_ = UniqueFd(open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!temporaryParent_.valid()) return temporaryDirectory_;
  // Made and later removed beside the held parent: no path is looked up twice.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = "omvi-call-" + randomHex(6);
    if (mkdirat(temporaryParent_.get(), name.c_str(), 0700) == 0) {
      temporaryName_ = std::move(name);
      temporaryDirectory_ = appendingPathComponent(parent, temporaryName_);
      break;
    }
    if (errno != EEXIST) break;
  }
  return temporaryDirectory_;
}

const std::vector<std::string>& SandboxCall::gitDirectories(const std::string& directory) {
  const auto known = gitDirectories_.find(directory);
  if (known != gitDirectories_.end()) return known->second;
  return gitDirectories_.emplace(directory, findGitDirectories(directory)).first->second;
}

void SandboxCall::endProcesses() {
  if (sessions_.empty()) return;
  // Each child led its own session and process group, which nothing of the call can leave
  // (setsid is held by seccomp). A group's number stays reserved while any member lives, so
  // killing it reaches the call's processes only. What the runner inherited (it is a child
  // subreaper) is reaped here.
  for (const pid_t session : sessions_)
    kill(-session, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + kEndWait;
  for (const pid_t session : sessions_) {
    while (reapEnded(P_PGID, static_cast<id_t>(session)) && kill(-session, 0) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      poll(nullptr, 0, 1);
    }
  }
  if (!hasChildren()) return;  // nothing of the call can be left: it would be the runner's
  // Perhaps processes of the call live on in process groups of their own (made with setpgid,
  // as timeout(1) does), or another call's children are running. The call's are found by
  // their session.
  for (int round = 0; round < kSweepRounds; ++round) {
    std::vector<std::pair<pid_t, UniqueFd>> killed;
    for (const pid_t pid : membersOf(sessions_)) {
      UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
      // Asked again once the descriptor holds the process: the pid may have been recycled.
      if (!pidfd.valid() ||
          std::find(sessions_.begin(), sessions_.end(), getsid(pid)) == sessions_.end()) {
        continue;
      }
      if (syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0) == 0) {
        killed.emplace_back(pid, std::move(pidfd));
      }
    }
    if (killed.empty()) break;
    for (const auto& [pid, pidfd] : killed) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd watch{pidfd.get(), POLLIN, 0};
      poll(&watch, 1, static_cast<int>(std::max<long>(left.count(), 0)));
      reapEnded(P_PID, static_cast<id_t>(pid));
    }
  }
}

}  // namespace OmviAgentRunnerMain
