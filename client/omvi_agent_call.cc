// omvi-agent-call: sends one request to the runner's service and prints the reply.
//
//   omvi-agent-call [--socket PATH] [--json TEXT]
//
// The request is TEXT, or standard input read to its end. The reply (the runner's response
// JSON) is printed with one line feed. Exit status: 0 when the response's `ok` is true, 1
// when it is false, 2 when the service cannot be reached or refuses the call, with one line
// on standard error saying why. This is a client, not the runner: it may use standard error.
#include <simdjson.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/posix.h"
#include "runner/service/json_rpc.h"
#include "runner/service/listening_socket.h"

namespace {

using namespace OmviAgentRunnerMain;

constexpr int kUnreachable = 2;

int complain(const std::string& text) {
  const std::string line = "omvi-agent-call: " + text + "\n";
  (void)!write(STDERR_FILENO, line.data(), line.size());
  return kUnreachable;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t wrote = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

bool readAll(int fd, std::string& out) {
  char buffer[65536];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    out.append(buffer, static_cast<std::size_t>(got));
  }
}

// Whether the runner's response says `ok` true.
bool responseOk(const std::string& response) {
  simdjson::dom::parser parser;
  bool ok = false;
  return !parser.parse(response)["ok"].get(ok) && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> socketPath;
  std::optional<std::string> request;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if ((argument == "--socket" || argument == "--json") && i + 1 < argc) {
      (argument == "--socket" ? socketPath : request) = argv[++i];
    } else if (argument == "--help" || argument == "-h") {
      const std::string_view usage = "usage: omvi-agent-call [--socket PATH] [--json TEXT]\n";
      (void)!write(STDOUT_FILENO, usage.data(), usage.size());
      return 0;
    } else {
      return complain("unexpected argument " + std::string(argument) +
                      " (usage: omvi-agent-call [--socket PATH] [--json TEXT])");
    }
  }
  if (!request) {
    request.emplace();
    if (!readAll(STDIN_FILENO, *request)) return complain("cannot read the request from stdin");
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string path = socketPath.value_or(
      defaultSocketPath(runtime ? std::optional<std::string>(runtime) : std::nullopt, getuid()));

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return complain("socket path too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return complain("cannot create a socket: " + errnoText(errno));
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return complain("cannot reach the service at " + path + ": " + errnoText(errno));
  }
  if (!writeAll(fd.get(), encodeCall("1", *request) + "\n")) {
    return complain("the service at " + path + " closed the connection: " + errnoText(errno));
  }
  shutdown(fd.get(), SHUT_WR);  // one call: the service may end the connection after it

  std::string received;
  if (!readAll(fd.get(), received) && received.find('\n') == std::string::npos) {
    return complain("cannot read the reply from " + path + ": " + errnoText(errno));
  }
  const std::size_t feed = received.find('\n');
  if (feed == std::string::npos) return complain("the service at " + path + " sent no reply");
  const auto reply = decodeReply(std::string_view(received).substr(0, feed));
  if (!reply) return complain("the service at " + path + " sent a reply that is not JSON-RPC");
  if (!reply->result) {
    return complain("the service refused the call: " + reply->errorMessage + " (" +
                    std::to_string(reply->errorCode) + ")");
  }
  std::string line = *reply->result + "\n";
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t wrote = write(STDOUT_FILENO, rest.data(), rest.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) break;
    rest.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return responseOk(*reply->result) ? 0 : 1;
}
