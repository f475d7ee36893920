// The long-lived service mode.
//
// Owns: serving requests to many clients at once until the process is asked to stop.
// Does not own: answering one request (entry.h's `handleJSONText`).
#pragma once

#include <span>
#include <string>

namespace OmviAgentRunnerMain {

/// Serves until stopped; returns the exit status. Prints nothing.
int runService(std::span<const std::string> arguments);

}  // namespace OmviAgentRunnerMain
