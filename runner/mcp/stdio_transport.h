// The MCP server's stdio transport: newline-delimited JSON-RPC messages on two descriptors.
//
// Owns: splitting the input into lines (with a size cap), writing each outgoing message whole
// with its line feed, and noticing the end of the input or a termination signal.
// Does not own: what a message means (mcp_server.h).
#pragma once

#include <cstddef>
#include <string_view>

#include "runner/mcp/mcp_server.h"

namespace OmviAgentRunnerMain::mcp {

/// Largest message taken whole; a longer line is skipped and answered with an error.
inline constexpr std::size_t kMaxMessageBytes = std::size_t{64} << 20;

/// Writes |message| and one line feed to |fd| whole, retrying partial writes. False once the
/// descriptor no longer takes data (the reader went away).
bool writeLine(int fd, std::string_view message);

/// Feeds every line read from |inputFd| to |server| until the input ends or |stopFd| (a
/// signalfd, or -1) becomes readable. Empty lines are skipped, a carriage return before the
/// line feed is dropped. Does not shut the server down.
void serveLines(McpServer& server, int inputFd, int stopFd,
                std::size_t maxMessageBytes = kMaxMessageBytes);

}  // namespace OmviAgentRunnerMain::mcp
