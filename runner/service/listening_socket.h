// Where the service listens, and opening that socket safely.
//
// Owns: the choice of the listening socket (systemd activation, "--socket", the runtime
// directory, a private directory under /tmp), the private directory's checks, the socket
// file's mode 0600, the live-service probe before a stale file is replaced, and removing
// the file this process made when it stops.
// Does not own: accepting connections (service.cc) or the readiness notification (systemd.h).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "runner/posix.h"

namespace OmviAgentRunnerMain {

/// What the choice depends on, read from the process once.
struct SocketSettings {
  std::optional<std::string> socketArgument;    ///< the path after "--socket"
  std::optional<std::string> listenPid;         ///< LISTEN_PID
  std::optional<std::string> listenFds;         ///< LISTEN_FDS
  std::optional<std::string> runtimeDirectory;  ///< XDG_RUNTIME_DIR
  pid_t pid = 0;
  uid_t uid = 0;
};

struct SocketChoice {
  enum class Kind {
    kActivated,         ///< descriptor 3, from systemd
    kPath,              ///< a path given or in the runtime directory
    kPrivateDirectory,  ///< a path inside |directory|, which must be private to the user
  };
  Kind kind = Kind::kPath;
  std::string path;       ///< the socket file; empty for kActivated
  std::string directory;  ///< kPrivateDirectory only
  int activatedCount = 0;

  bool operator==(const SocketChoice&) const = default;
};

/// First match wins: activation (LISTEN_PID is this process, LISTEN_FDS at least 1);
/// "--socket" PATH; "$XDG_RUNTIME_DIR/omvi-agent-runner.sock" when that is set and not empty;
/// "/tmp/omvi-agent-runner-<uid>/runner.sock". Pure.
[[nodiscard]] SocketChoice chooseSocket(const SocketSettings& settings);

/// The path a client connects to when not told: the choice above without activation.
[[nodiscard]] std::string defaultSocketPath(const std::optional<std::string>& runtimeDirectory,
                                            uid_t uid);

/// A listening, non-blocking, close-on-exec Unix stream socket.
struct ListeningSocket {
  UniqueFd fd;
  std::string ownedPath;  ///< the file this process bound; empty for an activated socket
  dev_t device = 0;       ///< of ownedPath as bound
  ino_t inode = 0;
};

/// The socket, or one sentence saying why there is none.
struct ListenOutcome {
  std::optional<ListeningSocket> socket;
  std::string failure;
  bool serviceAlreadyLive = false;  ///< another process answers on the path
};

/// Opens what |choice| names, as |uid|. For a path: the private directory is created with
/// mode 0700 when missing and refused when it is not a directory owned by |uid| (checked on
/// the opened directory) or is open to group or others; the path must fit `sun_path`; an
/// existing socket file that nobody answers on is replaced, one that answers is left alone;
/// any other existing file is refused; the new file gets mode 0600. Activated descriptors
/// are made close-on-exec, and the first must be a listening Unix stream socket.
[[nodiscard]] ListenOutcome openListeningSocket(const SocketChoice& choice, uid_t uid);

/// Removes the socket file when it is still the one |socket| bound. Nothing for an
/// activated socket.
void removeSocketFile(const ListeningSocket& socket);

}  // namespace OmviAgentRunnerMain
