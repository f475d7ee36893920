// The long-lived service mode: on Linux, "the XPC service" is a Unix-socket service speaking
// newline-delimited JSON-RPC 2.0.
//
// Owns: the service's switches, its start (socket, signals, workers, readiness), accepting
// connections with the peer check, and the orderly stop on SIGTERM or SIGINT: no new
// connections or lines, every call already read still answered, then status 0.
// Does not own: one connection (connection.h), where it listens (listening_socket.h), or
// answering a request (xpc_service.h, entry.h's `handleJSONText`).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace OmviAgentRunnerMain {

/// The longest request line unless "--max-request-bytes" says otherwise: 64 MiB.
inline constexpr std::size_t kDefaultMaxRequestBytes = std::size_t{64} * 1024 * 1024;

struct ServiceOptions {
  std::optional<std::string> socketPath;  ///< "--socket" PATH
  std::size_t maxRequestBytes = kDefaultMaxRequestBytes;
  std::size_t maxConcurrency = 64;

  bool operator==(const ServiceOptions&) const = default;
};

/// Reads "--socket PATH", "--max-request-bytes N" (at most 2^40) and "--max-concurrency N"
/// (at most 65536), N a positive decimal number, from |arguments| (the program's path first); other
/// arguments are ignored, and the one after "--json" is never taken for a switch. Nothing when a
/// switch lacks its value or a number is malformed. Pure.
[[nodiscard]] std::optional<ServiceOptions> parseServiceOptions(
    std::span<const std::string> arguments);

/// Serves until SIGTERM or SIGINT; returns the exit status: 0 after an orderly stop, 1 when
/// the service cannot start (bad switches, no usable socket, another service already live
/// on the path). Prints nothing. Call from a process with no other threads yet.
int runService(std::span<const std::string> arguments);

}  // namespace OmviAgentRunnerMain
