#include "runner/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "runner/dispatch.h"
#include "runner/request_decoder.h"
#include "runner/service/service.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::string_view kHelpText =
    "omvi-agent-runner: carries out one file, shell or git operation for a coding agent,\n"
    "confined to the request's workspace root, and answers one JSON line.\n"
    "\n"
    "usage:\n"
    "  omvi-agent-runner --json '<request>'   answer the request given as an argument\n"
    "  omvi-agent-runner < request.json       answer the request read from standard input\n"
    "  omvi-agent-runner --ping               health probe\n"
    "  omvi-agent-runner --xpc-service        serve requests over a Unix socket\n"
    "      [--socket PATH] [--max-request-bytes N] [--max-concurrency N]\n"
    "  omvi-agent-runner --help | --version\n"
    "\n"
    "exit status: 0 ok true, 1 ok false, 2 no request or one that cannot be decoded\n";

bool hasArgument(std::span<const std::string> arguments, std::string_view wanted) {
  return std::any_of(arguments.begin(), arguments.end(),
                     [&](const std::string& argument) { return argument == wanted; });
}

// Writes |text| and one line feed as one piece. Output failures are not reported anywhere:
// there is no other channel.
void printLine(std::string text) {
  text.push_back('\n');
  std::string_view rest(text);
  while (!rest.empty()) {
    const ssize_t wrote = write(STDOUT_FILENO, rest.data(), rest.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    rest.remove_prefix(static_cast<std::size_t>(wrote));
  }
}

// Standard input, read to its end into one buffer that keeps the decoder's padding free
// behind the bytes. Grown with realloc, which moves large blocks by remapping pages instead
// of copying them, so a large request never needs twice its size while it is read.
class InputBuffer {
 public:
  InputBuffer() = default;
  ~InputBuffer() { std::free(data_); }
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;

  // False when the read fails or memory runs out.
  bool readAll(int fd) {
    while (true) {
      if (capacity_ - size_ < kChunk + kDecoderPadding && !grow()) return false;
      const ssize_t got = read(fd, data_ + size_, capacity_ - size_ - kDecoderPadding);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) break;
      size_ += static_cast<std::size_t>(got);
    }
    std::fill_n(data_ + size_, kDecoderPadding, '\0');
    return true;
  }

  [[nodiscard]] std::string_view bytes() const { return {data_, size_}; }

  void release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  static constexpr std::size_t kChunk = 65536;

  bool grow() {
    const std::size_t wanted = std::max<std::size_t>(capacity_ * 2, kChunk * 2);
    void* grown = std::realloc(data_, wanted);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
    capacity_ = wanted;
    return true;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Descriptors 0, 1 and 2 are kept open (on /dev/null if need be), so that no pipe of a child
// run can ever take their numbers.
void keepStandardDescriptorsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

int answer(const DecodedRequest& decoded) {
  if (!decoded.request) {
    printLine(encodeToString(failure("invalid JSON request: " + decoded.error)));
    return 2;
  }
  const RunnerResponse response = handle(*decoded.request);
  printLine(encodeToString(response));
  return response.ok ? 0 : 1;
}

}  // namespace

bool isLaunchdXPCServiceInvocation(std::span<const std::string> arguments,
                                   const std::optional<std::string>& serviceName) {
  if (hasArgument(arguments, "--xpc-service")) return true;
  if (!serviceName) return false;
  const std::string_view name = trimmed(*serviceName);
  if (name.empty() || name == "0") return false;
  if (name == kServiceLabel) return true;
  if (name.ends_with(kHelperName)) return true;
  return name.find(kServiceLabel) != std::string_view::npos;
}

std::string handleJSONText(std::string_view text) {
  if (!isValidUtf8(text)) return encodeToString(failure("invalid_utf8_request"));
  const DecodedRequest decoded = decodeRequest(text);
  if (!decoded.request) return encodeToString(failure("invalid JSON request: " + decoded.error));
  return encodeToString(handle(*decoded.request));
}

int main(std::span<const std::string> arguments) {
  keepStandardDescriptorsOpen();
  if (hasArgument(arguments, "--ping")) {
    printLine(encodeToString(pingResponse()));
    return 0;
  }
  const char* serviceName = std::getenv("XPC_SERVICE_NAME");
  if (isLaunchdXPCServiceInvocation(
          arguments, serviceName ? std::optional<std::string>(serviceName) : std::nullopt)) {
    return runService(arguments);
  }
  if (hasArgument(arguments, "--help") || hasArgument(arguments, "-h")) {
    printLine(std::string(kHelpText.substr(0, kHelpText.size() - 1)));
    return 0;
  }
  if (hasArgument(arguments, "--version")) {
    printLine("omvi-agent-runner " OMVI_VERSION);
    return 0;
  }

  const auto json = std::find(arguments.begin(), arguments.end(), "--json");
  if (json != arguments.end() && std::next(json) != arguments.end()) {
    return answer(decodeRequest(*std::next(json)));
  }
  InputBuffer input;
  if (!input.readAll(STDIN_FILENO) || input.bytes().empty()) {
    printLine(encodeToString(failure(std::string(kUsageFailure))));
    return 2;
  }
  const DecodedRequest decoded = decodePaddedRequest(input.bytes());
  input.release();  // the request holds its own copy of every field
  return answer(decoded);
}

}  // namespace OmviAgentRunnerMain
