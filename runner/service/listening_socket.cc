#include "runner/service/listening_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runner/service/systemd.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr mode_t kSocketMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

std::string failed(const std::string& what, int error) {
  return what + ": " + errnoText(error);
}

// The address of |path|; nothing when it does not fit.
std::optional<sockaddr_un> addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// The private directory: made 0700 when missing; refused when it is not a real directory of
// |uid| closed to group and others. Checked on the opened descriptor, so a directory swapped
// after the check is not the one checked.
std::optional<std::string> securePrivateDirectory(const std::string& directory, uid_t uid) {
  const bool made = ::mkdir(directory.c_str(), kDirectoryMode) == 0;
  if (!made && errno != EEXIST) return failed("cannot create " + directory, errno);
  const UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return failed("cannot open " + directory, errno);
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) return failed("cannot inspect " + directory, errno);
  if (status.st_uid != uid) return directory + " belongs to another user";
  if (made && (status.st_mode & 07777) != kDirectoryMode) {
    // The umask may have narrowed the mode; the owner still needs every right.
    if (fchmod(fd.get(), kDirectoryMode) != 0)
      return failed("cannot set the mode of " + directory, errno);
    status.st_mode = (status.st_mode & ~07777) | kDirectoryMode;
  }
  if ((status.st_mode & 077) != 0) return directory + " is open to group or others";
  return std::nullopt;
}

enum class Probe { kNothing, kStale, kLive, kNotASocket, kFailed };

// What is at |path| now: whether a service answers there.
Probe probe(const std::string& path, const sockaddr_un& address, int& error) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    error = errno;
    return errno == ENOENT ? Probe::kNothing : Probe::kFailed;
  }
  if (!S_ISSOCK(status.st_mode)) return Probe::kNotASocket;
  const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    error = errno;
    return Probe::kFailed;
  }
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return Probe::kLive;
  }
  error = errno;
  switch (errno) {
    case ECONNREFUSED:
      return Probe::kStale;
    case ENOENT:
      return Probe::kNothing;
    case EAGAIN:  // a full backlog: someone listens
      return Probe::kLive;
    default:
      return Probe::kFailed;
  }
}

ListenOutcome listenOnPath(const std::string& path, uid_t uid) {
  ListenOutcome outcome;
  const auto address = addressOf(path);
  if (!address) {
    outcome.failure = "the socket path does not fit a Unix socket address: " + path;
    return outcome;
  }
  int error = 0;
  switch (probe(path, *address, error)) {
    case Probe::kNothing:
      break;
    case Probe::kStale:
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        outcome.failure = failed("cannot remove the stale socket " + path, errno);
        return outcome;
      }
      break;
    case Probe::kLive:
      outcome.failure = "another service is listening on " + path;
      outcome.serviceAlreadyLive = true;
      return outcome;
    case Probe::kNotASocket:
      outcome.failure = path + " exists and is not a socket";
      return outcome;
    case Probe::kFailed:
      outcome.failure = failed("cannot probe " + path, error);
      return outcome;
  }

  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    outcome.failure = failed("cannot create a socket", errno);
    return outcome;
  }
  // Linux gives the new file the socket's own mode (less the umask), so the file is born
  // 0600 and never open to others, even for a moment.
  (void)fchmod(fd.get(), kSocketMode);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    outcome.failure = failed("cannot bind " + path, errno);
    return outcome;
  }
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    outcome.failure = failed("cannot inspect " + path, errno);
    return outcome;
  }
  if ((status.st_mode & 07777) != kSocketMode) {
    // Nobody can connect before listen(), so setting the mode now is still in time.
    if (fchmodat(AT_FDCWD, path.c_str(), kSocketMode, 0) != 0 ||
        lstat(path.c_str(), &status) != 0 || (status.st_mode & 07777) != kSocketMode) {
      unlink(path.c_str());
      outcome.failure = "cannot give " + path + " mode 0600";
      return outcome;
    }
  }
  if (status.st_uid != uid) {
    unlink(path.c_str());
    outcome.failure = path + " was not created as the service's user";
    return outcome;
  }
  if (listen(fd.get(), SOMAXCONN) != 0) {
    const int listenError = errno;
    unlink(path.c_str());
    outcome.failure = failed("cannot listen on " + path, listenError);
    return outcome;
  }
  outcome.socket = ListeningSocket{std::move(fd), path, status.st_dev, status.st_ino};
  return outcome;
}

ListenOutcome adoptActivated(int count) {
  ListenOutcome outcome;
  for (int fd = kFirstActivatedDescriptor; fd < kFirstActivatedDescriptor + count; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  const int fd = kFirstActivatedDescriptor;
  int domain = 0;
  int type = 0;
  int accepting = 0;
  socklen_t size = sizeof(int);
  const bool usable =
      getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
      (size = sizeof(int), getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size)) == 0 &&
      (size = sizeof(int), getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size)) == 0;
  if (!usable || domain != AF_UNIX || type != SOCK_STREAM || accepting == 0) {
    outcome.failure = "descriptor 3 is not a listening Unix stream socket";
    return outcome;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  outcome.socket = ListeningSocket{UniqueFd(fd), {}, 0, 0};
  return outcome;
}

}  // namespace

SocketChoice chooseSocket(const SocketSettings& settings) {
  const int activated =
      activatedDescriptorCount(settings.listenPid, settings.listenFds, settings.pid);
  if (activated > 0) {
    return SocketChoice{SocketChoice::Kind::kActivated, {}, {}, activated};
  }
  if (settings.socketArgument) {
    return SocketChoice{SocketChoice::Kind::kPath, *settings.socketArgument, {}, 0};
  }
  if (settings.runtimeDirectory && !settings.runtimeDirectory->empty()) {
    return SocketChoice{SocketChoice::Kind::kPath,
                        defaultSocketPath(settings.runtimeDirectory, settings.uid),
                        {},
                        0};
  }
  const std::string directory = "/tmp/omvi-agent-runner-" + std::to_string(settings.uid);
  return SocketChoice{SocketChoice::Kind::kPrivateDirectory, directory + "/runner.sock", directory,
                      0};
}

std::string defaultSocketPath(const std::optional<std::string>& runtimeDirectory, uid_t uid) {
  if (runtimeDirectory && !runtimeDirectory->empty()) {
    return *runtimeDirectory + "/omvi-agent-runner.sock";
  }
  return "/tmp/omvi-agent-runner-" + std::to_string(uid) + "/runner.sock";
}

ListenOutcome openListeningSocket(const SocketChoice& choice, uid_t uid) {
  switch (choice.kind) {
    case SocketChoice::Kind::kActivated:
      return adoptActivated(choice.activatedCount);
    case SocketChoice::Kind::kPrivateDirectory:
      if (auto refusal = securePrivateDirectory(choice.directory, uid)) {
        ListenOutcome outcome;
        outcome.failure = std::move(*refusal);
        return outcome;
      }
      return listenOnPath(choice.path, uid);
    case SocketChoice::Kind::kPath:
      return listenOnPath(choice.path, uid);
  }
  return {};
}

void removeSocketFile(const ListeningSocket& socket) {
  if (socket.ownedPath.empty()) return;
  struct stat status {};
  if (lstat(socket.ownedPath.c_str(), &status) != 0) return;
  if (status.st_dev == socket.device && status.st_ino == socket.inode) {
    unlink(socket.ownedPath.c_str());
  }
}

}  // namespace OmviAgentRunnerMain
