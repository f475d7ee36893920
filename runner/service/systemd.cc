#include "runner/service/systemd.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <charconv>
#include <cstring>

#include "runner/posix.h"

namespace OmviAgentRunnerMain {
namespace {

std::optional<long long> decimal(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  long long value = 0;
  const char* end = text->data() + text->size();
  const auto [stop, error] = std::from_chars(text->data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

int activatedDescriptorCount(const std::optional<std::string>& listenPid,
                             const std::optional<std::string>& listenFds, pid_t pid) {
  const auto owner = decimal(listenPid);
  const auto count = decimal(listenFds);
  if (!owner || !count || *owner != pid || *count < 1 || *count > 1024) return 0;
  return static_cast<int>(*count);
}

bool notifySystemd(const std::string& address, std::string_view state) {
  sockaddr_un target{};
  target.sun_family = AF_UNIX;
  if (address.size() < 2 || address.size() >= sizeof target.sun_path) return false;
  if (address[0] != '/' && address[0] != '@') return false;
  std::memcpy(target.sun_path, address.data(), address.size());
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  if (address[0] == '@') {
    target.sun_path[0] = '\0';  // an abstract address: no terminating zero counted
  } else {
    ++length;
  }
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) return false;
  const ssize_t sent = sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&target), length);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace OmviAgentRunnerMain
