#include "runner/mcp/stdio_transport.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace OmviAgentRunnerMain::mcp {

bool writeLine(int fd, std::string_view message) {
  std::string line;
  line.reserve(message.size() + 1);
  line.append(message);
  line.push_back('\n');
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t written = write(fd, line.data() + done, line.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

void serveLines(McpServer& server, int inputFd, int stopFd, std::size_t maxMessageBytes) {
  constexpr std::size_t kChunk = std::size_t{64} * 1024;
  std::string pending;    // the start of a line not yet ended
  bool skipping = false;  // inside a line over the cap, until its line feed
  std::string chunk(kChunk, '\0');
  auto deliver = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) server.receive(line);
  };
  for (;;) {
    pollfd fds[2] = {{inputFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int ready = poll(fds, stopFd >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return;
    if (stopFd >= 0 && (fds[1].revents & POLLIN) != 0) return;
    const ssize_t got = read(inputFd, chunk.data(), chunk.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    std::string_view data(chunk.data(), static_cast<std::size_t>(got));
    while (!data.empty()) {
      const auto newline = data.find('\n');
      const std::string_view piece = data.substr(0, newline);
      if (skipping) {
        if (newline != std::string_view::npos) skipping = false;
      } else if (pending.size() + piece.size() > maxMessageBytes) {
        pending.clear();
        pending.shrink_to_fit();
        server.refuseOversized(maxMessageBytes);
        skipping = newline == std::string_view::npos;
      } else if (newline == std::string_view::npos) {
        pending.append(piece);
      } else if (pending.empty()) {
        deliver(piece);
      } else {
        pending.append(piece);
        deliver(pending);
        pending.clear();
        if (pending.capacity() > kChunk * 16) pending.shrink_to_fit();
      }
      if (newline == std::string_view::npos) break;
      data.remove_prefix(newline + 1);
    }
  }
  // A last message without its line feed still counts.
  if (!skipping && !pending.empty()) deliver(pending);
}

}  // namespace OmviAgentRunnerMain::mcp
