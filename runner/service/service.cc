#include "runner/service/service.h"

#include <malloc.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <unordered_map>

#include "runner/posix.h"
#include "runner/service/byte_budget.h"
#include "runner/service/connection.h"
#include "runner/service/listening_socket.h"
#include "runner/service/reclaimer.h"
#include "runner/service/systemd.h"
#include "runner/service/xpc_service.h"

namespace OmviAgentRunnerMain {
namespace {

static_assert(ServiceOptions{}.maxConcurrency == kDefaultMaxConcurrency);

// Accepting may fail for want of descriptors or memory; it is tried again after this.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// Bounds far above any sensible setting, which keep the arithmetic on them clear of overflow.
constexpr std::size_t kMostBytes = std::size_t{1} << 40;
constexpr std::size_t kMostCount = 65536;
constexpr std::size_t kMostSeconds = 86400;

// Once this much has been held since memory was last given back, the service gives it back
// when it next falls idle, shortly after.
constexpr std::size_t kTrimAfterBytes = 4 * kMiB;
constexpr auto kTrimDelay = std::chrono::milliseconds(200);
// Blocks this large are mapped on their own and given back to the system as soon as they
// are freed, instead of staying in the allocator's arenas.
constexpr int kMmapThreshold = 256 * 1024;
// The service's threads besides its workers: the I/O thread, the reclaimer, and room to spare.
constexpr int kOwnThreads = 4;

// The switches that take a number: the member each sets, and its most.
struct NumberSwitch {
  std::string_view name;
  std::size_t ServiceOptions::*member;
  std::size_t most;          // cppcheck-suppress unusedStructMember
  bool zeroAllowed = false;  // cppcheck-suppress unusedStructMember
};
constexpr NumberSwitch kNumberSwitches[] = {
    {"--max-request-bytes", &ServiceOptions::maxRequestBytes, kMostBytes},
    {"--max-concurrency", &ServiceOptions::maxConcurrency, kMostCount},
    {"--max-connections", &ServiceOptions::maxConnections, kMostCount},
    {"--max-buffered-bytes", &ServiceOptions::maxBufferedBytes, kMostBytes},
    {"--max-connection-bytes", &ServiceOptions::maxConnectionBytes, kMostBytes},
    {"--max-reply-backlog", &ServiceOptions::maxReplyBacklog, kMostBytes},
    {"--line-timeout", &ServiceOptions::lineTimeoutSeconds, kMostSeconds},
    {"--call-nice", &ServiceOptions::callNice, 19, true},
};

// Sent, best effort, to a connection over the cap before it is closed.
constexpr std::string_view kTooManyConnections =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"too many connections"}})"
    "\n";

std::optional<std::size_t> number(const std::string& text, const NumberSwitch& of) {
  std::size_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || (value == 0 && !of.zeroAllowed) ||
      value > of.most) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

// The running service: the listening socket, the signal descriptor and the connections, all
// on the one I/O thread; the calls run on the service object's workers.
class SocketService {
 public:
  SocketService(asio::io_context& io, ListeningSocket listening, UniqueFd signals,
                OmviAgentRunnerXPCService& service, ServiceOptions options,
                std::optional<std::string> notifyAddress)
      : io_(io),
        acceptor_(io),
        listening_(std::move(listening)),
        signals_(io),
        service_(service),
        options_(std::move(options)),
        notifyAddress_(std::move(notifyAddress)),
        retry_(io),
        work_(asio::make_work_guard(io)),
        budget_(options_.maxBufferedBytes),
        wake_(io),
        trimTimer_(io) {
    limits_.maxLineBytes = options_.maxRequestBytes;
    limits_.maxConnectionBytes = options_.maxConnectionBytes;
    limits_.maxReplyBacklog = options_.maxReplyBacklog;
    limits_.lineTimeout = std::chrono::seconds(options_.lineTimeoutSeconds);
    limits_.stopReplyWait = kStopReplyWait;
    woken_.reserve(options_.maxConnections);
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) throw std::system_error(errno, std::generic_category(), "eventfd");
    wake_.assign(wake.release());
    acceptor_.assign(asio::local::stream_protocol(), listening_.fd.release());
    signals_.assign(signals.release());
  }

  void start() {
    waitForSignal();
    waitForWake();
    waitForPeer();
    if (notifyAddress_) notifySystemd(*notifyAddress_, "READY=1");
  }

  // After the I/O thread has returned.
  void removeSocketFile() { OmviAgentRunnerMain::removeSocketFile(listening_); }

 private:
  void waitForSignal() {
    signals_.async_wait(
        asio::posix::stream_descriptor::wait_read, [this](const asio::error_code& error) {
          if (error) return;
          signalfd_siginfo info{};
          if (::read(signals_.native_handle(), &info, sizeof info) < 0 && errno == EAGAIN) {
            waitForSignal();
            return;
          }
          stop();
        });
  }

  // Workers write to the eventfd when a connection has work for the I/O thread.
  void waitForWake() {
    wake_.async_wait(
        asio::posix::stream_descriptor::wait_read, [this](const asio::error_code& error) {
          if (error) return;
          std::uint64_t count = 0;
          // Only the wake-up matters, not how many were counted.
          [[maybe_unused]] const ssize_t got = ::read(wake_.native_handle(), &count, sizeof count);
          // Reserved for every connection: copying allocates nothing.
          woken_.clear();
          for (const auto& entry : connections_)
            woken_.push_back(entry.second);
          for (const auto& connection : woken_)
            connection->onWake();
          woken_.clear();
          if (stopping_ && connections_.empty()) return;
          if (budget_.used() == 0) trimSoon(/*always=*/false);
          waitForWake();
        });
  }

  // Gives freed memory back to the system a moment after the service falls quiet.
  void trimSoon(bool always) {
    if (trimArmed_ || (!always && budget_.takePeak() < kTrimAfterBytes)) return;
    trimArmed_ = true;
    trimTimer_.expires_after(kTrimDelay);
    trimTimer_.async_wait([this](const asio::error_code& error) {
      trimArmed_ = false;
      if (!error) malloc_trim(0);
    });
  }

  void waitForPeer() {
    acceptor_.async_wait(asio::socket_base::wait_read,
                         [this](const asio::error_code& error) { acceptPeers(error); });
  }

  void acceptPeers(const asio::error_code& error) {
    if (stopping_ || error == asio::error::operation_aborted) return;
    // Takes what is waiting, then waits again, so one busy peer cannot starve the rest.
    for (int taken = 0; taken < 64; ++taken) {
      const int fd =
          accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          retry_.expires_after(kAcceptRetry);
          retry_.async_wait([this](const asio::error_code& waited) {
            if (!waited) waitForPeer();
          });
          return;
        }
        break;  // EAGAIN: nobody else waits
      }
      UniqueFd peer(fd);
      ucred credentials{};
      socklen_t size = sizeof credentials;
      if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
          !service_.shouldAcceptNewConnection(credentials.uid)) {
        continue;  // closed at once
      }
      if (connections_.size() >= options_.maxConnections) {
        (void)::send(fd, kTooManyConnections.data(), kTooManyConnections.size(),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
        continue;  // closed at once
      }
      try {
        auto connection = std::make_shared<Connection>(
            io_, std::move(peer), service_, limits_, budget_, reclaimer_, wake_.native_handle(),
            [this](Connection* ended) { connectionEnded(ended); });
        connections_.emplace(connection.get(), connection);
        connection->start();
      } catch (const std::exception&) {
        // Out of memory: this peer is closed, the service carries on.
      }
    }
    waitForPeer();
  }

  void connectionEnded(Connection* connection) {
    connections_.erase(connection);
    if (stopping_ && connections_.empty()) {
      finishLoop();
      return;
    }
    trimSoon(/*always=*/true);
  }

  // No new connections or lines; every call already read is answered (those not started as
  // "service_stopping"), replies nobody takes are dropped after the stop wait, then run()
  // returns.
  void stop() {
    if (stopping_) return;
    stopping_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    signals_.close(ignored);
    removeSocketFile();
    if (notifyAddress_) notifySystemd(*notifyAddress_, "STOPPING=1");
    // stopReading may end a connection at once, which erases it from the map.
    std::vector<std::shared_ptr<Connection>> open;
    for (const auto& entry : connections_)
      open.push_back(entry.second);
    for (const auto& connection : open)
      connection->stop();
    if (connections_.empty()) finishLoop();
  }

  // Nothing is left to wait for: run() returns once the handlers cancelled here have run.
  void finishLoop() {
    asio::error_code ignored;
    wake_.close(ignored);
    trimTimer_.cancel();
    work_.reset();
  }

  asio::io_context& io_;
  asio::local::stream_protocol::acceptor acceptor_;
  ListeningSocket listening_;  ///< its descriptor belongs to acceptor_
  asio::posix::stream_descriptor signals_;
  OmviAgentRunnerXPCService& service_;
  ServiceOptions options_;
  std::optional<std::string> notifyAddress_;
  asio::steady_timer retry_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  Reclaimer reclaimer_;  // before the connections, which hand it their replies
  std::unordered_map<Connection*, std::shared_ptr<Connection>> connections_;
  bool stopping_ = false;
  ByteBudget budget_;
  ConnectionLimits limits_;
  asio::posix::stream_descriptor wake_;
  std::vector<std::shared_ptr<Connection>> woken_;
  asio::steady_timer trimTimer_;
  bool trimArmed_ = false;
};

// SIGTERM and SIGINT, blocked in every thread (the workers inherit the mask) and read from a
// descriptor on the I/O thread. Children get an empty mask when they start.
UniqueFd stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return {};
  return UniqueFd(signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

int serve(const ServiceOptions& options) {
  SocketSettings settings;
  settings.socketArgument = options.socketPath;
  settings.listenPid = environment("LISTEN_PID");
  settings.listenFds = environment("LISTEN_FDS");
  settings.runtimeDirectory = environment("XDG_RUNTIME_DIR");
  settings.pid = getpid();
  settings.uid = getuid();
  std::optional<std::string> notifyAddress = environment("NOTIFY_SOCKET");
  // Read once, before any thread exists; the children of calls must not see them.
  for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES", "NOTIFY_SOCKET"}) {
    unsetenv(name);
  }

  ListenOutcome listened = openListeningSocket(chooseSocket(settings), settings.uid);
  if (!listened.socket) return 1;
  UniqueFd signals = stopSignals();
  if (!signals.valid()) {
    removeSocketFile(*listened.socket);
    return 1;
  }

  // Large buffers go straight back to the system when freed (fixed, the threshold no longer
  // rises after a large block is freed, which would keep later ones in the heap).
  mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
  // An arena per thread: a worker sharing the I/O thread's arena could be descheduled (it
  // runs at a lower priority) while holding that arena's lock, and every peer's ping would
  // wait for it.
  mallopt(M_ARENA_MAX,
          static_cast<int>(std::min<std::size_t>(options.maxConcurrency, 4096)) + kOwnThreads);
  asio::io_context io(1);
  OmviAgentRunnerXPCService service(settings.uid, options.maxConcurrency,
                                    static_cast<int>(options.callNice));
  SocketService socketService(io, std::move(*listened.socket), std::move(signals), service, options,
                              std::move(notifyAddress));
  socketService.start();
  while (true) {
    // The I/O thread's border: a handler that fails for want of memory loses its own work
    // only; the loop carries on with the rest.
    try {
      io.run();
      break;
    } catch (const std::exception&) {
    }
  }
  service.finish();
  socketService.removeSocketFile();
  return 0;
}

}  // namespace

const std::string_view kServiceHelpText =
    "omvi-agent-runner --xpc-service: serves requests over a Unix socket, as newline-delimited\n"
    "JSON-RPC 2.0, until SIGTERM or SIGINT.\n"
    "\n"
    "  --socket PATH               where to listen (default: systemd's socket, else\n"
    "                              $XDG_RUNTIME_DIR/omvi-agent-runner.sock, else\n"
    "                              /tmp/omvi-agent-runner-UID/runner.sock)\n"
    "  --max-request-bytes N       longest request line (67108864)\n"
    "  --max-concurrency N         calls running at once (64)\n"
    "  --max-connections N         connections open at once (64)\n"
    "  --max-buffered-bytes N      request bytes held for all connections (134217728)\n"
    "  --max-connection-bytes N    request bytes held for one connection (67108864)\n"
    "  --max-reply-backlog N       unsent reply bytes before a connection is read no more\n"
    "                              (1048576)\n"
    "  --line-timeout SECONDS      time an unfinished line may wait for its end (10)\n"
    "  --call-nice N               nice levels calls (their workers and children) run below\n"
    "                              the I/O thread, so that it keeps answering when they keep\n"
    "                              the processors busy; 0 to 19 (19)\n";

std::optional<ServiceOptions> parseServiceOptions(std::span<const std::string> arguments) {
  ServiceOptions options;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help") {
      options.help = true;
      continue;
    }
    const auto number =
        std::find_if(std::begin(kNumberSwitches), std::end(kNumberSwitches),
                     [&](const NumberSwitch& entry) { return entry.name == argument; });
    const bool isNumber = number != std::end(kNumberSwitches);
    // The sandbox's switches with a value are read by the entry (sandbox.h); skipped here.
    const bool foreign = argument == "--json" || argument == "--writable" || argument == "--env";
    if (!isNumber && argument != "--socket" && !foreign) continue;
    if (i + 1 >= arguments.size()) {
      if (foreign) continue;
      return std::nullopt;
    }
    const std::string& value = arguments[++i];
    if (argument == "--socket") {
      if (value.empty()) return std::nullopt;
      options.socketPath = value;
    } else if (isNumber) {
      const auto parsed = OmviAgentRunnerMain::number(value, *number);
      if (!parsed) return std::nullopt;
      options.*(number->member) = *parsed;
    }
  }
  return options;
}

int runService(std::span<const std::string> arguments) {
  const auto options = parseServiceOptions(arguments);
  if (!options) return 1;
  if (options->help) {
    std::string_view rest = kServiceHelpText;
    while (!rest.empty()) {
      const ssize_t wrote = ::write(STDOUT_FILENO, rest.data(), rest.size());
      if (wrote <= 0 && errno != EINTR) break;
      if (wrote > 0) rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return 0;
  }
  try {
    return serve(*options);
  } catch (const std::exception&) {
    // Only the start can throw (no thread, no descriptor); a running service answers
    // every failure as a reply.
    return 1;
  }
}

}  // namespace OmviAgentRunnerMain
