// The MCP server's Streamable HTTP transport: one endpoint, /mcp, where a POST carries one
// JSON-RPC message, a GET opens the session's event stream and a DELETE ends the session.
//
// Owns: sessions (one McpServer each, keyed by a random Mcp-Session-Id), routing each
// outgoing message (a reply to the POST that carried its request, as JSON or as an event
// stream when progress or log messages come first; anything else to the session's GET
// stream), and the HTTP-level defences: the bearer token, the Host and Origin checks against
// DNS rebinding, the body size limit, and the bounds on connections and sessions.
// Does not own: HTTP parsing and connections (RESTinio), what a message means (mcp_server.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runner/mcp/mcp_server.h"

namespace OmviAgentRunnerMain::mcp {

struct HttpOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;                   ///< 0: any free port
  std::vector<std::string> allowedOrigins;  ///< "scheme://host[:port]", besides loopback
  std::string token;                        ///< when not empty, every request needs it
  std::size_t maxBodyBytes = std::size_t{4} << 20;
  std::size_t maxConnections = 1024;
  std::size_t maxSessions = 32;
  std::size_t threads = 2;  ///< threads running HTTP (tool calls run on each session's pool)
};

/// True for names and addresses that stay on this machine: localhost, 127.0.0.0/8, ::1.
[[nodiscard]] bool isLoopbackHost(std::string_view host);

/// The host part of an Origin ("http://host:port") or Host ("host:port", "[::1]:port")
/// value, without brackets; empty when there is none.
[[nodiscard]] std::string_view hostOf(std::string_view value);

/// True when |given| equals |expected|, in time that does not depend on where they differ.
[[nodiscard]] bool sameSecret(std::string_view given, std::string_view expected);

/// Serves MCP over HTTP until |stopFd| becomes readable, then ends every session (their
/// calls in flight too). Prints the listening address on standard error as one line.
/// Returns the process's exit status (1 when the address cannot be bound).
int serveHttp(const ServerOptions& serverOptions, const HttpOptions& options, int stopFd);

}  // namespace OmviAgentRunnerMain::mcp
