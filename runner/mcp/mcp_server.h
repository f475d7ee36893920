// The MCP server's core: one session of the Model Context Protocol, fed whole messages and
// handing whole messages to a sink. It knows nothing of the transport (stdio lines today).
//
// Owns: the lifecycle (initialize and version negotiation, initialized, ping, logging level),
// tools/list and tools/call, the bounded pool that runs calls, cancellation, progress, the
// served roots (fixed, or asked of the client with roots/list), and shutdown.
// Does not own: framing, reading or writing bytes (stdio_transport.h), the tools themselves
// (tools.h), or any operation's work.
//
// Threads: `receive` is called from one reading thread and never blocks on a tool call;
// ping, tools/list, initialize and every other quick method are answered there. tools/call
// runs on the pool. Every outgoing message goes to the sink whole, one at a time, under one
// mutex, so the sink needs no lock of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace OmviAgentRunnerMain::mcp {

/// Protocol versions this server speaks, newest first.
inline constexpr std::string_view kProtocolVersions[] = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                         "2024-11-05"};

/// The version to answer a client that asked for |requested|: the same when spoken here,
/// else the newest.
[[nodiscard]] std::string_view negotiateVersion(std::string_view requested);

struct ServerOptions {
  /// Roots given on the command line; when empty, the client's roots (if it offers them),
  /// else |launchDirectory|.
  std::vector<std::string> roots;
  std::string launchDirectory;
  std::size_t workers = 16;            ///< threads running tools/call
  std::size_t maxCallsInFlight = 256;  ///< running and waiting; more are refused
  double progressInterval = 1.0;       ///< seconds between progress notifications
};

class McpServer {
 public:
  /// Receives one outgoing message (a whole JSON-RPC message, no line feed).
  using Sink = std::function<void(std::string_view message)>;

  McpServer(ServerOptions options, Sink sink);
  /// Shuts down (see `shutdown`) if that has not happened yet.
  ~McpServer();
  McpServer(const McpServer&) = delete;
  McpServer& operator=(const McpServer&) = delete;

  /// Handles one incoming message (a request, a notification or a reply to one of ours).
  void receive(std::string_view message);

  /// Answers a message the transport could not take whole (over its size cap).
  void refuseOversized(std::size_t limit);

  /// Ends the session: calls waiting for a worker are answered as cancelled, calls running
  /// are ended the way their time limit would end them (their children TERM, then KILL) and
  /// answered; returns once every worker is done. Idempotent.
  void shutdown();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace OmviAgentRunnerMain::mcp
