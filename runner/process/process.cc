#include "runner/process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <thread>

#include "runner/posix.h"
#include "runner/process/call_context.h"
#include "runner/process/spawn.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

using Clock = std::chrono::steady_clock;

// Longer limits than this are treated as this: far beyond any run, and safe from overflow.
constexpr double kLongestWait = 1e9;
// Without a pidfd the end of a child is noticed by polling at this interval.
constexpr auto kFallbackPoll = std::chrono::milliseconds(20);

int statusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return WTERMSIG(waitStatus);
  return waitStatus;
}

// One output stream of the child: its pipe's read end, the text kept of it, and the call's
// count of output bytes (may be null).
struct Stream {
  UniqueFd fd;
  CappedText text;
  std::atomic<std::uint64_t>* counter;

  // Reads what is there now; closes the pipe at end of file or on an error.
  void drain() {
    std::array<char, 65536> buffer;
    while (fd.valid()) {
      const ssize_t got = read(fd.get(), buffer.data(), buffer.size());
      if (got > 0) {
        if (counter != nullptr) counter->fetch_add(static_cast<std::uint64_t>(got));
        text.append(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
        if (static_cast<std::size_t>(got) < buffer.size()) return;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      fd.reset();
    }
  }
};

// The child's pid, with a pidfd when the kernel offers one, so that signals can never reach a
// recycled pid.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid), pidfd_(static_cast<int>(pidfd_open(pid, 0))) {}

  [[nodiscard]] int pidfd() const { return pidfd_.get(); }

  void signal(int number) const {
    if (pidfd_.valid()) {
      pidfd_send_signal(pidfd_.get(), number, nullptr, 0);
    } else {
      kill(pid_, number);
    }
  }

  // Reaps the child if it has ended; its status then.
  std::optional<int> tryReap() {  // NOLINT(readability-make-member-function-const): reaps
    int waitStatus = 0;
    pid_t got;
    do {
      got = waitpid(pid_, &waitStatus, WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == pid_) return statusOf(waitStatus);
    if (got < 0) return -1;  // not our child any more; nothing left to wait for
    return std::nullopt;
  }

  // Reaps the child, waiting at most |limit| for it to end.
  std::optional<int> reapWithin(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (true) {
      if (auto status = tryReap()) return status;
      if (Clock::now() >= until) return std::nullopt;
      std::this_thread::sleep_for(kFallbackPoll);
    }
  }

  // Leaves the child to a background thread that reaps it whenever it ends.
  void abandon() const {
    std::thread([pid = pid_] {
      int waitStatus = 0;
      while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }

 private:
  pid_t pid_;
  UniqueFd pidfd_;
};

std::string describeSpawnFailure(const ProcessSpec& launch, int error) {
  std::string text = "could not start " + launch.executable;
  if (!launch.directory.empty()) {
    struct stat status {};
    const bool usable = stat(launch.directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    if (!usable) text += " in " + launch.directory;
  }
  return text + ": " + errnoText(error);
}

Clock::time_point deadlineAfter(Clock::time_point from, double seconds) {
  const double bounded = std::clamp(seconds, kShortestWait, kLongestWait);
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded));
}

int pollTimeout(Clock::time_point until, bool fallback) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  auto wait = std::clamp<std::chrono::milliseconds>(left, std::chrono::milliseconds(0),
                                                    std::chrono::hours(1));
  if (fallback) wait = std::min<std::chrono::milliseconds>(wait, kFallbackPoll);
  return static_cast<int>(wait.count());
}

// Whether |fd| is readable now (a cancel descriptor that has fired).
bool readableNow(int fd) {
  if (fd < 0) return false;
  pollfd one{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&one, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (one.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

bool setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

bool isExecutableFile(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

ChildOutcome runChild(const ProcessSpec& launch, const EscalationTimings& timings) {
  ChildOutcome outcome;
  const CallContext& context = currentCallContext();
  if (readableNow(context.cancelFd)) {
    outcome.end = ChildOutcome::End::kCancelled;
    return outcome;
  }
  int stdoutPipe[2];
  int stderrPipe[2];
  if (pipe2(stdoutPipe, O_CLOEXEC) != 0) {
    outcome.spawnError = "could not create a pipe: " + errnoText(errno);
    return outcome;
  }
  UniqueFd stdoutRead(stdoutPipe[0]);
  UniqueFd stdoutWrite(stdoutPipe[1]);
  if (pipe2(stderrPipe, O_CLOEXEC) != 0) {
    outcome.spawnError = "could not create a pipe: " + errnoText(errno);
    return outcome;
  }
  UniqueFd stderrRead(stderrPipe[0]);
  UniqueFd stderrWrite(stderrPipe[1]);
  // Only the read ends, which the child never gets: its own ends stay blocking.
  if (!setNonBlocking(stdoutRead.get()) || !setNonBlocking(stderrRead.get())) {
    outcome.spawnError = "could not make a pipe non-blocking: " + errnoText(errno);
    return outcome;
  }

  const SpawnResult spawned =
      spawnChild(launch, {stdoutWrite.get(), stderrWrite.get()}, sandboxSettings());
  stdoutWrite.reset();
  stderrWrite.reset();
  if (spawned.error != 0) {
    outcome.spawnError = describeSpawnFailure(launch, spawned.error);
    return outcome;
  }

  Child child(spawned.pid);
  Stream out{std::move(stdoutRead), CappedText(kStdoutCap, kStdoutByteCap, launch.invalidStdout),
             context.outputBytes};
  Stream err{std::move(stderrRead), CappedText(kStderrCap, kStderrByteCap), context.outputBytes};
  const bool fallback = child.pidfd() < 0;

  // Stages of the end: run to the deadline (or the cancellation), then SIGTERM and the grace
  // period, then SIGKILL and its wait, then give up on the child.
  enum class Stage { kRunning, kTerminating, kKilling };
  Stage stage = Stage::kRunning;
  Clock::time_point stageEnd = deadlineAfter(Clock::now(), launch.timeout);
  std::optional<int> status;
  Clock::time_point drainEnd{};
  int cancelFd = context.cancelFd;  // -1 once it has fired, or when there is none
  bool cancelled = false;
  int waitError = 0;

  while (true) {
    const auto now = Clock::now();
    if (!status) {
      if (now >= stageEnd) {
        if (stage == Stage::kRunning) {
          child.signal(SIGTERM);
          stage = Stage::kTerminating;
          stageEnd = now + timings.grace;
        } else if (stage == Stage::kTerminating) {
          child.signal(SIGKILL);
          stage = Stage::kKilling;
          stageEnd = now + timings.killWait;
        } else {
          break;
        }
      }
    } else if ((!out.fd.valid() && !err.fd.valid()) || now >= drainEnd) {
      break;
    }

    std::array<pollfd, 4> fds{};
    nfds_t count = 0;
    auto watch = [&](int fd) {
      if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
      return count - 1;
    };
    watch(out.fd.get());
    watch(err.fd.get());
    if (!status && !fallback) watch(child.pidfd());
    const nfds_t cancelAt = !status && cancelFd >= 0 ? watch(cancelFd) : count;
    const int timeout = pollTimeout(status ? drainEnd : stageEnd, fallback && !status);
    if (poll(fds.data(), count, timeout) < 0 && errno != EINTR) {
      if (!status) waitError = errno;  // after the end, only the last output is lost
      break;
    }
    if (cancelAt < count && fds[cancelAt].revents != 0) {
      cancelFd = -1;  // level-triggered: watching on would wake every poll
      if ((fds[cancelAt].revents & POLLNVAL) == 0) {
        cancelled = true;
        if (stage == Stage::kRunning) stageEnd = Clock::now();  // as if the limit had come
      }
    }

    out.drain();
    err.drain();
    if (!status) {
      status = child.tryReap();
      if (status) drainEnd = Clock::now() + timings.finalDrain;
    }
  }

  if (waitError != 0 && !status) {
    // Waiting itself failed: the child must not run on unwatched.
    child.signal(SIGKILL);
    status = child.reapWithin(timings.killWait);
  }
  if (status) {
    outcome.end = ChildOutcome::End::kExited;
    outcome.status = *status;
  } else {
    outcome.end = ChildOutcome::End::kStillRunning;
    child.abandon();
  }
  if (cancelled) outcome.end = ChildOutcome::End::kCancelled;
  if (waitError != 0) {
    outcome.end = ChildOutcome::End::kWaitFailed;
    outcome.spawnError = "poll: " + errnoText(waitError);
  }
  // A stream still open was cut short, so its last code point may be incomplete.
  outcome.stdoutText = out.text.finish(!out.fd.valid());
  outcome.stderrText = err.text.finish(!err.fd.valid());
  return outcome;
}

RunnerResponse responseFromOutcome(const ChildOutcome& outcome) {
  switch (outcome.end) {
    case ChildOutcome::End::kSpawnFailed:
      return failure("spawn_failed: " + outcome.spawnError);
    case ChildOutcome::End::kExited:
      if (outcome.status == 0) {
        return success(
            {.stdoutText = outcome.stdoutText, .stderrText = outcome.stderrText, .exitStatus = 0});
      }
      return failure("exit_" + std::to_string(outcome.status), {.stdoutText = outcome.stdoutText,
                                                                .stderrText = outcome.stderrText,
                                                                .exitStatus = outcome.status});
    case ChildOutcome::End::kStillRunning:
      return failure("timeout",
                     {.stdoutText = outcome.stdoutText, .stderrText = outcome.stderrText});
    case ChildOutcome::End::kCancelled:
      return failure("cancelled",
                     {.stdoutText = outcome.stdoutText, .stderrText = outcome.stderrText});
    case ChildOutcome::End::kWaitFailed:
      return failure("wait_failed: " + outcome.spawnError,
                     {.stdoutText = outcome.stdoutText, .stderrText = outcome.stderrText});
  }
  return failure("timeout");
}

RunnerResponse runProcess(std::string executable, std::vector<std::string> arguments,
                          std::string directory, double timeout, InvalidText invalidStdout) {
  const ProcessSpec launch{std::move(executable), std::move(arguments), std::move(directory),
                           timeout, invalidStdout};
  return responseFromOutcome(runChild(launch));
}

}  // namespace OmviAgentRunnerMain
