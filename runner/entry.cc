#include "runner/entry.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "runner/dispatch.h"
#include "runner/posix.h"
#include "runner/process/call_context.h"
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
    "      [--socket PATH] [limits: see omvi-agent-runner --xpc-service --help]\n"
    "  omvi-agent-runner --help | --version\n"
    "\n"
    "sandbox (every child: writes only in the workspace, no survivors; OMVI_SANDBOX=1):\n"
    "  --sandbox | --sandbox=best-effort   [--no-network] [--writable DIR] [--env NAME]\n"
    "  --sandbox-status                    print what this kernel enforces\n"
    "\n"
    "exit status: 0 ok true, 1 ok false (\"cancelled\" after TERM, INT or HUP), 2 no request\n"
    "or one that cannot be decoded\n";

constexpr std::string_view kCancelled = "cancelled";

bool hasArgument(std::span<const std::string> arguments, std::string_view wanted) {
  return std::any_of(arguments.begin(), arguments.end(),
                     [&](const std::string& argument) { return argument == wanted; });
}

// The argument after the first "--json": the request, whatever it looks like; nothing when
// "--json" is absent or last.
std::optional<std::size_t> payloadIndex(std::span<const std::string> arguments) {
  const auto json = std::find(arguments.begin(), arguments.end(), "--json");
  if (json == arguments.end() || std::next(json) == arguments.end()) return std::nullopt;
  return static_cast<std::size_t>(std::next(json) - arguments.begin());
}

// A switch given anywhere but as the request payload.
bool hasSwitch(std::span<const std::string> arguments, std::string_view wanted) {
  const std::optional<std::size_t> payload = payloadIndex(arguments);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == wanted && i != payload) return true;
  }
  return false;
}

// Whether |fd| is readable now, or (with |wait|) whichever of |fd| and |other| is first.
// Answers 1 for |fd|, 2 for |other|, 0 for neither, -1 when poll fails.
int firstReadable(int fd, int other, bool wait) {
  std::array<pollfd, 2> fds{pollfd{fd, POLLIN, 0}, pollfd{other, POLLIN, 0}};
  while (true) {
    const int ready = poll(fds.data(), other >= 0 ? 2 : 1, wait ? -1 : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (fds[0].revents != 0) return 1;
    if (other >= 0 && fds[1].revents != 0) return 2;
    if (!wait) return 0;
  }
}

// The command line's cancellation: TERM, INT and HUP are blocked and taken from a signalfd,
// the call's cancel descriptor. A child then ends as at its time limit, and the runner still
// prints its one line ("cancelled") instead of dying mid-request with its child left running.
// Without a signalfd the signals keep their default action.
class CancelOnSignals {
 public:
  CancelOnSignals() {
    sigemptyset(&set_);
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
      sigaddset(&set_, number);
    if (sigprocmask(SIG_BLOCK, &set_, nullptr) != 0) return;
    fd_ = UniqueFd(signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd_.valid()) sigprocmask(SIG_UNBLOCK, &set_, nullptr);
  }

  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] bool fired() const {
    return fd_.valid() && firstReadable(fd_.get(), -1, false) == 1;
  }

 private:
  sigset_t set_{};
  UniqueFd fd_;
};

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

  enum class Loaded { kYes, kUnreadable, kCancelled };

  // Reads |fd| whole, unless |cancelFd| becomes readable first.
  Loaded load(int fd, int cancelFd) {
    if (map(fd)) return Loaded::kYes;
    return readAll(fd, cancelFd);
  }

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

  Loaded readAll(int fd, int cancelFd) {
    std::size_t capacity = 0;
    while (true) {
      if (capacity - size_ < kChunk + kDecoderPadding) {
        const std::size_t wanted = std::max<std::size_t>(capacity * 2, kChunk * 2);
        void* grown = std::realloc(buffer_, wanted);
        if (grown == nullptr) return Loaded::kUnreadable;
        buffer_ = static_cast<char*>(grown);
        capacity = wanted;
      }
      // A writer that never closes must not outlast a signal.
      const int ready = firstReadable(fd, cancelFd, true);
      if (ready == 2) return Loaded::kCancelled;
      if (ready < 0) return Loaded::kUnreadable;
      const ssize_t got = read(fd, buffer_ + size_, capacity - size_ - kDecoderPadding);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got < 0) return Loaded::kUnreadable;
      if (got == 0) break;
      size_ += static_cast<std::size_t>(got);
    }
    std::fill_n(buffer_ + size_, kDecoderPadding, '\0');
    data_ = buffer_;
    return Loaded::kYes;
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

int printCancelled() {
  printLine(encodeToString(failure(std::string(kCancelled))));
  return 1;
}

// Whatever the request came to, a signal before the answer makes the answer "cancelled".
int answer(const DecodedRequest& decoded, const CancelOnSignals& signals) {
  if (!decoded.request) {
    if (signals.fired()) return printCancelled();
    printLine(encodeToString(failure("invalid JSON request: " + decoded.error)));
    return 2;
  }
  const CallContext context{signals.fd(), nullptr};
  const ScopedCallContext installed(context);
  const RunnerResponse response = handle(*decoded.request);
  if (signals.fired()) return printCancelled();
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
  if (hasSwitch(arguments, "--help") || hasSwitch(arguments, "-h")) {
    printLine(std::string(kHelpText.substr(0, kHelpText.size() - 1)));
    return 0;
  }
  if (hasSwitch(arguments, "--version")) {
    printLine("omvi-agent-runner " OMVI_VERSION);
    return 0;
  }

  const CancelOnSignals signals;
  if (const auto payload = payloadIndex(arguments)) {
    return answer(decodeRequest(arguments[*payload]), signals);
  }
  auto input = std::make_shared<RequestInput>();
  const RequestInput::Loaded loaded = input->load(STDIN_FILENO, signals.fd());
  if (loaded == RequestInput::Loaded::kCancelled || signals.fired()) return printCancelled();
  if (loaded == RequestInput::Loaded::kUnreadable || input->bytes().empty()) {
    printLine(encodeToString(failure(std::string(kUsageFailure))));
    return 2;
  }
  const std::string_view bytes = input->bytes();
  // From here the request alone keeps the input alive, for as long as it needs it.
  return answer(decodePaddedRequest(bytes, std::move(input)), signals);
}

}  // namespace OmviAgentRunnerMain
