// The systemd side of the service: socket activation and the readiness notification.
//
// Owns: reading LISTEN_PID and LISTEN_FDS, and sending a state such as "READY=1" to the
// NOTIFY_SOCKET address. Does not own: using the activated socket (listening_socket.h).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// The first descriptor systemd passes.
inline constexpr int kFirstActivatedDescriptor = 3;

/// How many descriptors systemd passed to |pid|: LISTEN_FDS when LISTEN_PID names |pid| and
/// both are plain decimal numbers, LISTEN_FDS at least 1; otherwise 0.
[[nodiscard]] int activatedDescriptorCount(const std::optional<std::string>& listenPid,
                                           const std::optional<std::string>& listenFds, pid_t pid);

/// Sends |state| as one datagram to |address| (a socket path, or "@name" for an abstract
/// one). Best effort: false when it could not be sent. Never blocks.
bool notifySystemd(const std::string& address, std::string_view state);

}  // namespace OmviAgentRunnerMain
