#include "runner/entry.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "runner/dispatch.h"
#include "runner/request_decoder.h"
#include "runner/sandbox/sandbox.h"
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
    "sandbox (every child: writes only in the workspace, no survivors; OMVI_SANDBOX=1):\n"
    "  --sandbox | --sandbox=best-effort   [--no-network] [--writable DIR] [--env NAME]\n"
    "  --sandbox-status                    print what this kernel enforces\n"
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

// Standard input, whole, with the decoder's padding readable behind it. A regular file is
// mapped rather than read, so even a request of many megabytes costs no copy (its `content`
// then stays a view into the mapping); anything else is read into a buffer grown with
// realloc, which moves large blocks by remapping pages instead of copying them.
class RequestInput {
 public:
  RequestInput() = default;
  ~RequestInput() {
    if (mapped_ != nullptr) munmap(mapped_, mappedLength_);
    std::free(buffer_);
  }
  RequestInput(const RequestInput&) = delete;
  RequestInput& operator=(const RequestInput&) = delete;

  // False when standard input cannot be read.
  bool load(int fd) { return map(fd) || readAll(fd); }

  [[nodiscard]] std::string_view bytes() const { return {data_, size_}; }

 private:
  static constexpr std::size_t kChunk = 65536;

  bool map(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    const off_t offset = lseek(fd, 0, SEEK_CUR);
    if (offset < 0 || status.st_size <= offset) return false;
    const auto page = static_cast<off_t>(sysconf(_SC_PAGESIZE));
    const off_t aligned = offset - offset % page;
    const auto skip = static_cast<std::size_t>(offset - aligned);
    const auto size = static_cast<std::size_t>(status.st_size - offset);
    const std::size_t fileLength = skip + size;
    // Anonymous zero pages first, the file over their start: the padding behind the last byte
    // is always readable, even when the file ends on a page boundary.
    const std::size_t length = (fileLength + kDecoderPadding + static_cast<std::size_t>(page) - 1) /
                               static_cast<std::size_t>(page) * static_cast<std::size_t>(page);
    void* area = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) return false;
    if (mmap(area, fileLength, PROT_READ, MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, aligned) ==
        MAP_FAILED) {
      munmap(area, length);
      return false;
    }
    mapped_ = area;
    mappedLength_ = length;
    data_ = static_cast<char*>(area) + skip;
    size_ = size;
    lseek(fd, 0, SEEK_END);  // consumed, as a read would leave it
    return true;
  }

  bool readAll(int fd) {
    std::size_t capacity = 0;
    while (true) {
      if (capacity - size_ < kChunk + kDecoderPadding) {
        const std::size_t wanted = std::max<std::size_t>(capacity * 2, kChunk * 2);
        void* grown = std::realloc(buffer_, wanted);
        if (grown == nullptr) return false;
        buffer_ = static_cast<char*>(grown);
        capacity = wanted;
      }
      const ssize_t got = read(fd, buffer_ + size_, capacity - size_ - kDecoderPadding);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) break;
      size_ += static_cast<std::size_t>(got);
    }
    std::fill_n(buffer_ + size_, kDecoderPadding, '\0');
    data_ = buffer_;
    return true;
  }

  void* mapped_ = nullptr;
  std::size_t mappedLength_ = 0;
  char* buffer_ = nullptr;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
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

// "--sandbox-status": what the sandbox would enforce here, one line each; status 0 when all of it.
int printSandboxStatus(SandboxSettings settings) {
  settings.enabled = true;
  const Enforcement enforcement = describeEnforcement(settings, probeKernel());
  std::string text;
  for (const std::string& line : enforcement.lines)
    text += (text.empty() ? "" : "\n") + line;
  printLine(std::move(text));
  return enforcement.missing.empty() ? 0 : 1;
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
  std::string here(PATH_MAX, '\0');
  here.resize(getcwd(here.data(), here.size()) != nullptr ? std::strlen(here.c_str()) : 0);
  const SandboxSwitches sandbox =
      parseSandboxSwitches(arguments, std::getenv("OMVI_SANDBOX"), here);
  if (sandbox.statusWanted) return printSandboxStatus(sandbox.settings);
  const char* serviceName = std::getenv("XPC_SERVICE_NAME");
  const bool service = isLaunchdXPCServiceInvocation(
      arguments, serviceName ? std::optional<std::string>(serviceName) : std::nullopt);
  // Before any thread exists: the settings hold for every child of the process.
  std::optional<std::string> refused = sandbox.error.empty()
                                           ? enableSandbox(sandbox.settings)
                                           : std::optional<std::string>(sandbox.error);
  if (refused) {
    if (!service) printLine(encodeToString(failure("sandbox_unavailable: " + *refused)));
    return 1;
  }
  if (service) return runService(arguments);
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
  auto input = std::make_shared<RequestInput>();
  if (!input->load(STDIN_FILENO) || input->bytes().empty()) {
    printLine(encodeToString(failure(std::string(kUsageFailure))));
    return 2;
  }
  const std::string_view bytes = input->bytes();
  // From here the request alone keeps the input alive, for as long as it needs it.
  return answer(decodePaddedRequest(bytes, std::move(input)));
}

}  // namespace OmviAgentRunnerMain
