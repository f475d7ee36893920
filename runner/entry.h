// The process entry: the three modes, the command-line mode end to end, and the
// text-in, text-out front end the service answers each call with.
//
// Owns: mode selection, reading the request bytes, the exit statuses, the one output line.
// Does not own: decoding (request_decoder.h), dispatch (dispatch.h), the service (service/).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// The service's label, matched against XPC_SERVICE_NAME.
inline constexpr std::string_view kServiceLabel = "io.omvi.omvi-agent-runner";

inline constexpr std::string_view kUsageFailure =
    "expected JSON request on stdin, --json '<payload>', or --xpc";

/// Whether the process is to serve as the long-lived service: an argument "--xpc-service", or
/// |serviceName| (the XPC_SERVICE_NAME variable, nothing when unset) naming the service.
[[nodiscard]] bool isLaunchdXPCServiceInvocation(std::span<const std::string> arguments,
                                                 const std::optional<std::string>& serviceName);

/// One request as JSON text in, one response as JSON text out (no line feed). Text that is
/// not valid UTF-8 answers "invalid_utf8_request". Never fails; keeps no state.
[[nodiscard]] std::string handleJSONText(std::string_view text);

/// The whole program: |arguments| with the program's own path first. Returns the exit
/// status. Writes exactly one line to standard output in every mode but the service's, and
/// nothing ever to standard error.
int main(std::span<const std::string> arguments);

}  // namespace OmviAgentRunnerMain
