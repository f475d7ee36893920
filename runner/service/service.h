// The long-lived service mode: on Linux, "the XPC service" is a Unix-socket service speaking
// newline-delimited JSON-RPC 2.0.
//
// Owns: the service's switches, its start (socket, signals, workers, readiness), accepting
// connections with the peer check and the cap on open connections, the shared budget of
// request bytes, giving memory back to the system once the service is idle, and the orderly
// stop on SIGTERM or SIGINT: no new connections or lines, calls running still answered
// (those not started answered "service_stopping"), replies nobody takes dropped after
// kStopReplyWait, then status 0.
// Does not own: one connection (connection.h), where it listens (listening_socket.h), or
// answering a request (xpc_service.h, entry.h's `handleJSONText`).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

inline constexpr std::size_t kMiB = std::size_t{1024} * 1024;

/// The longest request line unless "--max-request-bytes" says otherwise: 64 MiB.
inline constexpr std::size_t kDefaultMaxRequestBytes = 64 * kMiB;

/// The service's switches and their defaults; each number a positive decimal.
struct ServiceOptions {
  std::optional<std::string> socketPath;                  ///< "--socket" PATH
  std::size_t maxRequestBytes = kDefaultMaxRequestBytes;  ///< "--max-request-bytes": one line
  std::size_t maxConcurrency = 64;                        ///< "--max-concurrency": calls at once
  /// "--max-connections": open at once; one more is told "too many connections" and closed.
  std::size_t maxConnections = 64;
  /// "--max-buffered-bytes": request bytes of all connections together (unfinished lines and
  /// calls queued or running), beyond the 64 KiB read buffer each connection keeps.
  std::size_t maxBufferedBytes = 128 * kMiB;
  /// "--max-connection-bytes": the same for one connection.
  std::size_t maxConnectionBytes = 64 * kMiB;
  /// "--max-reply-backlog": unsent reply bytes of one connection before it is read no more
  /// and its queued calls wait, until the peer has read them.
  std::size_t maxReplyBacklog = kMiB;
  /// "--line-timeout": seconds an unfinished line may wait for its end.
  std::size_t lineTimeoutSeconds = 10;
  /// "--call-nice": nice levels calls (their worker threads and their children) run below the
  /// I/O thread, 0 to 19. At the lowest priority by default: the kernel still hands a waiting
  /// I/O thread the processor at once when calls keep every processor busy, which at a few
  /// levels below it does not (waits of 100 ms and more were measured at 5 and at 10).
  std::size_t callNice = 19;
  bool help = false;  ///< "--help": print the switches and exit 0

  bool operator==(const ServiceOptions&) const = default;
};

/// Replies a stopping service still owes are dropped, with their connection, when the peer
/// has not taken them within this wait.
inline constexpr std::chrono::seconds kStopReplyWait{5};

/// Reads the switches above (numbers at most 2^40, "--max-concurrency" and
/// "--max-connections" at most 65536, "--line-timeout" at most 86400) from |arguments| (the
/// program's path first); other arguments are ignored, and the one after "--json" is never
/// taken for a switch. Nothing when a switch lacks its value or a number is malformed. Pure.
[[nodiscard]] std::optional<ServiceOptions> parseServiceOptions(
    std::span<const std::string> arguments);

/// The text "--help" prints.
extern const std::string_view kServiceHelpText;

/// Serves until SIGTERM or SIGINT; returns the exit status: 0 after an orderly stop (or after
/// printing the help), 1 when the service cannot start (bad switches, no usable socket,
/// another service already live on the path). Prints nothing else. Call from a process with no
/// other threads yet.
int runService(std::span<const std::string> arguments);

}  // namespace OmviAgentRunnerMain
