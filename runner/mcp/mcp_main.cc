// The MCP server's entry: `omvi-agent-mcp [--root DIR]...` speaks the Model Context Protocol
// on standard input and output (or, with --http HOST:PORT, over Streamable HTTP) until the
// input ends or SIGTERM arrives, then ends the calls in flight and exits 0. Standard output carries
// protocol messages only; diagnostics go to standard error.
#include <malloc.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "runner/mcp/http_transport.h"
#include "runner/mcp/mcp_server.h"
#include "runner/mcp/stdio_transport.h"
#include "runner/sandbox/sandbox.h"

namespace {

constexpr std::string_view kUsage =
    "usage: omvi-agent-mcp [--root DIR]... [--max-message-bytes N]\n"
    "                      [--no-sandbox | --sandbox=best-effort] [--no-network]\n"
    "                      [--writable DIR]... [--env NAME]... [--sandbox-status]\n"
    "                      [--http [HOST]:PORT [--allow-origin ORIGIN]... [--token-file FILE]]\n"
    "Serves the runner's operations as MCP tools over stdio, confined to each DIR (default: the\n"
    "client's roots when it offers them, else the working directory). Every child runs in the\n"
    "kernel sandbox (writes only in its workspace, no survivors) unless --no-sandbox is given.\n"
    "With --http, serves Streamable HTTP on http://HOST:PORT/mcp instead (HOST 127.0.0.1 by\n"
    "default, PORT 0 picks a free one); any HOST but loopback needs --token-file, whose token\n"
    "every request must then carry as \"Authorization: Bearer TOKEN\".\n";

/// Splits "HOST:PORT", ":PORT", "[V6]:PORT" or "PORT"; false when malformed.
bool parseListen(std::string_view text, OmviAgentRunnerMain::mcp::HttpOptions& options) {
  const auto colon = text.rfind(':');
  std::string_view host = colon == std::string_view::npos ? "" : text.substr(0, colon);
  const std::string_view port = colon == std::string_view::npos ? text : text.substr(colon + 1);
  if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
  if (port.empty() || port.size() > 5 ||
      !std::ranges::all_of(port, [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const unsigned long number = std::strtoul(std::string(port).c_str(), nullptr, 10);
  if (number > 65535) return false;
  options.port = static_cast<std::uint16_t>(number);
  if (!host.empty()) options.host = std::string(host);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Replies of a few hundred KiB come and go with every listing or read: they reuse the heap
  // instead of costing fresh pages from the kernel each time, which is most of such a call.
  // Two arenas keep what is held between calls small however many calls run at once.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_ARENA_MAX, 2);
  using namespace OmviAgentRunnerMain::mcp;
  using OmviAgentRunnerMain::SandboxSwitches;
  ServerOptions options;
  std::size_t maxMessageBytes = kMaxMessageBytes;
  bool sandboxed = true;
  bool http = false;
  HttpOptions httpOptions;
  std::string tokenFile;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    // The sandbox's own switches are read below, from the whole argument list.
    if (argument == "--sandbox" || argument == "--sandbox=best-effort" ||
        argument == "--sandbox-status" || argument == "--no-network") {
      continue;
    }
    if ((argument == "--writable" || argument == "--env") && i + 1 < argc) {
      ++i;
      continue;
    }
    if (argument == "--no-sandbox") {
      sandboxed = false;
    } else if (argument == "--root" && i + 1 < argc) {
      options.roots.emplace_back(argv[++i]);
    } else if (argument.starts_with("--root=")) {
      options.roots.emplace_back(argument.substr(7));
    } else if (argument == "--max-message-bytes" && i + 1 < argc) {
      maxMessageBytes = std::strtoull(argv[++i], nullptr, 10);
      httpOptions.maxBodyBytes = std::max<std::size_t>(maxMessageBytes, 1024);
    } else if (argument == "--http" && i + 1 < argc) {
      http = true;
      if (!parseListen(argv[++i], httpOptions)) {
        std::fprintf(stderr, "omvi-agent-mcp: --http wants [HOST]:PORT, not %s\n", argv[i]);
        return 2;
      }
    } else if (argument == "--allow-origin" && i + 1 < argc) {
      httpOptions.allowedOrigins.emplace_back(argv[++i]);
    } else if (argument == "--token-file" && i + 1 < argc) {
      tokenFile = argv[++i];
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
  if (!tokenFile.empty()) {
    std::ifstream in(tokenFile);
    std::stringstream text;
    text << in.rdbuf();
    std::string token = text.str();
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())) != 0)
      token.pop_back();
    if (!in || token.empty()) {
      std::fprintf(stderr, "omvi-agent-mcp: no token in %s\n", tokenFile.c_str());
      return 2;
    }
    httpOptions.token = std::move(token);
  }
  if (http && !isLoopbackHost(httpOptions.host) && httpOptions.token.empty()) {
    std::fprintf(stderr, "omvi-agent-mcp: serving %s (not loopback) needs --token-file\n",
                 httpOptions.host.c_str());
    return 2;
  }
  std::error_code error;
  options.launchDirectory = std::filesystem::current_path(error).string();
  if (error) {
    std::fprintf(stderr, "omvi-agent-mcp: no working directory: %s\n", error.message().c_str());
    return 1;
  }

  // Sandboxed unless told otherwise; the settings hold for every child, so they are set before
  // any thread exists.
  const std::vector<std::string> arguments(argv, argv + argc);
  SandboxSwitches sandbox = OmviAgentRunnerMain::parseSandboxSwitches(
      arguments, sandboxed ? "1" : nullptr, options.launchDirectory);
  if (!sandboxed) sandbox.settings.enabled = false;
  if (sandbox.statusWanted) {
    sandbox.settings.enabled = true;
    const auto enforcement = OmviAgentRunnerMain::describeEnforcement(
        sandbox.settings, OmviAgentRunnerMain::probeKernel());
    for (const std::string& line : enforcement.lines)
      std::printf("%s\n", line.c_str());
    return enforcement.missing.empty() ? 0 : 1;
  }
  const std::optional<std::string> refused =
      sandbox.error.empty() ? OmviAgentRunnerMain::enableSandbox(sandbox.settings)
                            : std::optional<std::string>(sandbox.error);
  if (refused) {
    std::fprintf(stderr, "omvi-agent-mcp: the sandbox cannot start: %s\n", refused->c_str());
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

  if (http) {
    const int status = serveHttp(options, httpOptions, stopFd);
    if (stopFd >= 0) close(stopFd);
    return status;
  }

  std::atomic<bool> outputOpen{true};
  McpServer server(options, [&](std::string_view message) {
    if (outputOpen && !writeLine(STDOUT_FILENO, message)) outputOpen = false;
  });
  serveLines(server, STDIN_FILENO, stopFd, std::max<std::size_t>(maxMessageBytes, 1024));
  server.shutdown();
  if (stopFd >= 0) close(stopFd);
  return 0;
}
