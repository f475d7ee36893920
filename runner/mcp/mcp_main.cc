// The MCP server's entry: `omvi-agent-mcp [--root DIR]...` speaks the Model Context Protocol
// on standard input and output until the input ends or SIGTERM arrives, then ends the calls in
// flight and exits 0. Standard output carries protocol messages only; diagnostics go to
// standard error.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "runner/mcp/mcp_server.h"
#include "runner/mcp/stdio_transport.h"

namespace {

constexpr std::string_view kUsage =
    "usage: omvi-agent-mcp [--root DIR]... [--max-message-bytes N]\n"
    "Serves the runner's operations as MCP tools over stdio, confined to each DIR (default: the\n"
    "client's roots when it offers them, else the working directory).\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace OmviAgentRunnerMain::mcp;
  ServerOptions options;
  std::size_t maxMessageBytes = kMaxMessageBytes;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--root" && i + 1 < argc) {
      options.roots.emplace_back(argv[++i]);
    } else if (argument.starts_with("--root=")) {
      options.roots.emplace_back(argument.substr(7));
    } else if (argument == "--max-message-bytes" && i + 1 < argc) {
      maxMessageBytes = std::strtoull(argv[++i], nullptr, 10);
    } else if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage.data(), stdout);
      return 0;
    } else if (argument == "--version") {
      std::fputs("omvi-agent-mcp " OMVI_VERSION "\n", stdout);
      return 0;
    } else {
      std::fprintf(stderr, "omvi-agent-mcp: unknown argument %s\n%s", argv[i], kUsage.data());
      return 2;
    }
  }
  std::error_code error;
  options.launchDirectory = std::filesystem::current_path(error).string();
  if (error) {
    std::fprintf(stderr, "omvi-agent-mcp: no working directory: %s\n", error.message().c_str());
    return 1;
  }

  // A closed standard output must not end the server before it has reaped its children.
  signal(SIGPIPE, SIG_IGN);
  // SIGTERM and SIGINT are read from a descriptor; blocked before any thread starts, so that
  // every thread inherits the mask (children get an empty one when they are started).
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int stopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  std::atomic<bool> outputOpen{true};
  McpServer server(options, [&](std::string_view message) {
    if (outputOpen && !writeLine(STDOUT_FILENO, message)) outputOpen = false;
  });
  serveLines(server, STDIN_FILENO, stopFd, std::max<std::size_t>(maxMessageBytes, 1024));
  server.shutdown();
  if (stopFd >= 0) close(stopFd);
  return 0;
}
