// The service benchmark's load client: drives the runner's socket service, or the peer
// (the MCP reference filesystem server over its standard input and output), with the same
// calls and the same number in flight, and prints one result line per run.
//
//   omvi_load_client calls  --socket PATH | --peer DIR COMMAND...   (the peer's command last)
//                           --op ping|write --connections N --depth D --seconds S --workdir DIR
//       an MCP server over stdio as the peer (DIR is appended to its command) also takes
//       --op read|list (read_file of DIR/read.txt, list_directory of DIR/many) and
//       --read-tool NAME (the reading tool's name, read_file unless given); the line printed
//       gives its start to answered initialize as well
//   omvi_load_client sleepers --socket PATH --sleepers N --depth D   (N `sleep 1` calls and
//                           a stream of pings at depth D on another connection)
//   omvi_load_client fsync-loop --workdir DIR --seconds S   (the plain durable-write loop)
//   omvi_load_client attack --socket PATH --kind a|b|c --pid PID --seconds S --workdir DIR
//       one attack on the service PID for S seconds while another connection pings, then the
//       attackers leave and the pings go on for 5 s: (a) 64 `sleep 15` calls, then 200 calls
//       of 5 MB on one connection; (b) 30 connections each sending 60 MiB with no line feed;
//       (c) 3000 shell calls of the most output, on one connection that never reads. Prints
//       the ping latency (max, p99), the service's peak RSS and its RSS 5 s after, and the
//       machine's own stalls: a thread of the client on each processor, at the pings'
//       priority, keeps every wake-up more than 20 ms late, and the slowest ping that
//       overlaps none of them is given apart.
//
// One thread and epoll; each connection keeps D calls in flight and sends a new call for
// every reply. Latency is from the send of a call to the read of its reply.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runner/service/json_rpc.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using OmviAgentRunnerMain::encodeCall;

constexpr std::size_t kFileSlots = 256;
constexpr std::size_t kContentBytes = 4096;

[[noreturn]] void die(const std::string& text) {
  std::fprintf(stderr, "omvi_load_client: %s\n", text.c_str());
  std::exit(2);
}

// How a call is written for one target, and how its id is found in a reply.
class Protocol {
 public:
  virtual ~Protocol() = default;
  virtual std::string call(std::uint64_t id) const = 0;
  // The reply's id, and whether it reports success.
  virtual bool read(std::string_view reply, std::uint64_t& id, bool& ok) const = 0;
};

std::uint64_t numberAt(std::string_view text, std::size_t at) {
  std::uint64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(text[at++] - '0');
  }
  return value;
}

std::string content() {
  std::string text(kContentBytes, 'x');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char>('a' + i % 26);
  return text;
}

// The runner's JSON-RPC: the id comes first in every reply.
class RunnerProtocol : public Protocol {
 public:
  RunnerProtocol(const std::string& op, const std::string& workdir) {
    for (std::size_t slot = 0; slot < (op == "write" ? kFileSlots : 1); ++slot) {
      std::string request;
      if (op == "ping") {
        request = R"({"op":"ping"})";
      } else if (op == "sleep") {
        request = R"({"op":"shell","command":"sleep 1"})";
      } else {
        request = R"({"op":"write_file","workspace_root":")" + workdir + R"(","path":")" + workdir +
                  "/f-" + std::to_string(slot) + R"(.txt","content":")" + content() + "\"}";
      }
      const std::string whole = encodeCall("0", request);
      const std::size_t at = whole.find(R"("id":0)") + 5;
      prefix_ = whole.substr(0, at);
      suffixes_.push_back(whole.substr(at + 1) + "\n");
    }
  }
  std::string call(std::uint64_t id) const override {
    return prefix_ + std::to_string(id) + suffixes_[id % suffixes_.size()];
  }
  bool read(std::string_view reply, std::uint64_t& id, bool& ok) const override {
    const std::size_t at = reply.find(R"("id":)");
    if (at == std::string_view::npos) return false;
    id = numberAt(reply, at + 5);
    ok = reply.find(R"(\"ok\":true)") != std::string_view::npos;
    return true;
  }

 private:
  std::string prefix_;
  std::vector<std::string> suffixes_;
};

// An MCP server's calls: `ping`, and `tools/call` of `write_file`, the reading tool or
// `list_directory`; the id comes last in its replies.
class PeerProtocol : public Protocol {
 public:
  PeerProtocol(const std::string& op, const std::string& workdir, const std::string& readTool)
      : op_(op), workdir_(workdir), readTool_(readTool) {}
  std::string call(std::uint64_t id) const override {
    const std::string head = R"({"jsonrpc":"2.0","id":)" + std::to_string(id);
    if (op_ == "ping") return head + R"(,"method":"ping"})" + "\n";
    const std::string tool = head + R"(,"method":"tools/call","params":{"name":")";
    if (op_ == "read") {
      return tool + readTool_ + R"(","arguments":{"path":")" + workdir_ + "/read.txt\"}}}\n";
    }
    if (op_ == "list") {
      return tool + R"(list_directory","arguments":{"path":")" + workdir_ + "/many\"}}}\n";
    }
    return tool + R"(write_file","arguments":{"path":")" + workdir_ + "/f-" +
           std::to_string(id % kFileSlots) + R"(.txt","content":")" + content_ + "\"}}}\n";
  }
  bool read(std::string_view reply, std::uint64_t& id, bool& ok) const override {
    const std::size_t at = reply.rfind(R"("id":)");
    if (at == std::string_view::npos) return false;
    id = numberAt(reply, at + 5);
    ok = reply.find(R"("result")") != std::string_view::npos &&
         reply.find(R"("isError":true)") == std::string_view::npos;
    return true;
  }

 private:
  std::string op_;
  std::string workdir_;
  std::string readTool_;
  std::string content_ = content();
};

// One stream of calls: a socket, or the peer's two pipes.
struct Channel {
  int readFd = -1;
  int writeFd = -1;
  const Protocol* protocol = nullptr;
  std::size_t depth = 1;
  std::uint64_t nextId = 1;
  std::uint64_t limit = UINT64_MAX;  // calls to send in all
  std::map<std::uint64_t, Clock::time_point> inFlight;
  std::string input;
  std::string output;
  std::vector<double> latencies;  // microseconds, of replies inside the window
  std::uint64_t completed = 0;    // inside the window
  std::uint64_t failed = 0;
  Clock::time_point lastReply{};
};

struct Window {
  Clock::time_point start;
  Clock::time_point end;
};

void setNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

int connectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    die("cannot connect to " + path + ": " + std::strerror(errno));
  }
  setNonBlocking(fd);
  return fd;
}

void flushOutput(Channel& channel) {
  while (!channel.output.empty()) {
    const ssize_t wrote = ::write(channel.writeFd, channel.output.data(), channel.output.size());
    if (wrote <= 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      die(std::string("write failed: ") + std::strerror(errno));
    }
    channel.output.erase(0, static_cast<std::size_t>(wrote));
  }
}

void topUp(Channel& channel) {
  const auto now = Clock::now();
  while (channel.inFlight.size() < channel.depth && channel.nextId <= channel.limit) {
    const std::uint64_t id = channel.nextId++;
    channel.output += channel.protocol->call(id);
    channel.inFlight.emplace(id, now);
  }
  flushOutput(channel);
}

// Reads what the channel has; false at end of file.
bool readReplies(Channel& channel, const Window& window) {
  char buffer[1 << 16];
  while (true) {
    const ssize_t got = ::read(channel.readFd, buffer, sizeof buffer);
    if (got == 0) return false;
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) break;
      die(std::string("read failed: ") + std::strerror(errno));
    }
    channel.input.append(buffer, static_cast<std::size_t>(got));
  }
  const auto now = Clock::now();
  std::size_t start = 0;
  for (std::size_t feed; (feed = channel.input.find('\n', start)) != std::string::npos;
       start = feed + 1) {
    std::uint64_t id = 0;
    bool ok = false;
    if (!channel.protocol->read(std::string_view(channel.input).substr(start, feed - start), id,
                                ok)) {
      continue;
    }
    const auto sent = channel.inFlight.find(id);
    if (sent == channel.inFlight.end()) continue;  // not one of ours (the peer's handshake)
    if (now >= window.start && now < window.end) {
      channel.latencies.push_back(
          std::chrono::duration<double, std::micro>(now - sent->second).count());
      ++channel.completed;
    }
    if (!ok) ++channel.failed;
    channel.lastReply = now;
    channel.inFlight.erase(sent);
  }
  channel.input.erase(0, start);
  return true;
}

// Runs |channels| until |done| says so (asked after every wake-up).
template <typename Done>
void drive(std::vector<Channel>& channels, const Window& window, Done done) {
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  for (std::size_t i = 0; i < channels.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, channels[i].readFd, &event);
    topUp(channels[i]);
  }
  epoll_event events[64];
  while (!done()) {
    const int count = epoll_wait(epoll, events, 64, 10);
    for (int e = 0; e < count; ++e) {
      Channel& channel = channels[events[e].data.u64];
      if (!readReplies(channel, window)) die("the target closed a connection");
      if (Clock::now() < window.end) topUp(channel);
    }
    for (auto& channel : channels)
      flushOutput(channel);
  }
  close(epoll);
}

double percentile(std::vector<double>& values, double fraction) {
  if (values.empty()) return 0;
  const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
  return values[at];
}

struct Options {
  std::string mode;
  std::string kind = "a";
  pid_t pid = 0;
  std::string socket;
  std::string peerDirectory;
  std::vector<std::string> peerCommand;
  std::string op = "ping";
  std::string readTool = "read_file";
  std::string workdir = "/tmp";
  std::size_t connections = 1;
  std::size_t depth = 4;
  std::size_t sleepers = 32;
  double seconds = 3;
};

Options parseOptions(int argc, char** argv) {
  Options options;
  if (argc < 2) die("usage: see the head of bench/load_client.cc");
  options.mode = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--peer") {
      if (i + 2 >= argc) die("--peer needs a directory and a command");
      options.peerDirectory = argv[++i];
      for (++i; i < argc; ++i)
        options.peerCommand.emplace_back(argv[i]);
      break;
    }
    if (i + 1 >= argc) die("missing value after " + flag);
    const std::string value = argv[++i];
    if (flag == "--socket") {
      options.socket = value;
    } else if (flag == "--read-tool") {
      options.readTool = value;
    } else if (flag == "--op") {
      options.op = value;
    } else if (flag == "--workdir") {
      options.workdir = value;
    } else if (flag == "--connections") {
      options.connections = std::stoul(value);
    } else if (flag == "--depth") {
      options.depth = std::stoul(value);
    } else if (flag == "--sleepers") {
      options.sleepers = std::stoul(value);
    } else if (flag == "--kind") {
      options.kind = value;
    } else if (flag == "--pid") {
      options.pid = static_cast<pid_t>(std::stol(value));
    } else if (flag == "--seconds") {
      options.seconds = std::stod(value);
    } else {
      die("unknown switch " + flag);
    }
  }
  return options;
}

// The peer process, its handshake done; its two pipe ends in |channel|, the time from its
// start to its answer to initialize in |startMs|.
pid_t startPeer(const Options& options, Channel& channel, double& startMs) {
  int toPeer[2];
  int fromPeer[2];
  if (pipe2(toPeer, O_CLOEXEC) != 0 || pipe2(fromPeer, O_CLOEXEC) != 0) die("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> command = options.peerCommand;
  command.push_back(options.peerDirectory);
  std::vector<char*> argv;
  for (auto& part : command)
    argv.push_back(part.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const auto spawned = Clock::now();
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    die("cannot start " + command[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(toPeer[0]);
  close(fromPeer[1]);
  channel.readFd = fromPeer[0];
  channel.writeFd = toPeer[1];

  const std::string hello =
      R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
      R"("capabilities":{},"clientInfo":{"name":"omvi-bench","version":"1"}}})"
      "\n"
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
      "\n";
  if (::write(channel.writeFd, hello.data(), hello.size()) != static_cast<ssize_t>(hello.size())) {
    die("cannot greet the peer");
  }
  std::string answer;
  char byte;
  while (answer.find('\n') == std::string::npos && ::read(channel.readFd, &byte, 1) == 1)
    answer.push_back(byte);
  if (answer.find(R"("result")") == std::string::npos) die("the peer did not initialize");
  startMs = std::chrono::duration<double, std::milli>(Clock::now() - spawned).count();
  setNonBlocking(channel.readFd);
  setNonBlocking(channel.writeFd);
  return pid;
}

long statusKb(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return 0;
}

long peakRssKb(pid_t pid) {
  return statusKb(pid, "VmHWM");
}

int runCalls(const Options& options) {
  const bool peer = !options.peerCommand.empty();
  std::unique_ptr<Protocol> protocol;
  if (peer) {
    protocol = std::make_unique<PeerProtocol>(options.op, options.workdir, options.readTool);
  } else {
    protocol = std::make_unique<RunnerProtocol>(options.op, options.workdir);
  }
  std::vector<Channel> channels(peer ? 1 : options.connections);
  pid_t peerPid = -1;
  double startMs = 0;
  for (auto& channel : channels) {
    channel.protocol = protocol.get();
    channel.depth = peer ? options.connections * options.depth : options.depth;
    if (peer) {
      peerPid = startPeer(options, channel, startMs);
    } else {
      channel.readFd = channel.writeFd = connectTo(options.socket);
    }
  }
  // A short warm-up, then the measured window; calls in flight at its end are drained.
  const auto now = Clock::now();
  const Window window{now + std::chrono::milliseconds(300),
                      now + std::chrono::milliseconds(300) +
                          std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(options.seconds))};
  drive(channels, window, [&] {
    if (Clock::now() < window.end) return false;
    return std::all_of(channels.begin(), channels.end(),
                       [](const Channel& channel) { return channel.inFlight.empty(); });
  });

  std::vector<double> latencies;
  std::uint64_t completed = 0;
  std::uint64_t failed = 0;
  for (auto& channel : channels) {
    latencies.insert(latencies.end(), channel.latencies.begin(), channel.latencies.end());
    completed += channel.completed;
    failed += channel.failed;
  }
  const double p50 = percentile(latencies, 0.50) / 1000;
  const double p99 = percentile(latencies, 0.99) / 1000;
  std::printf(
      "%-6s %-5s conns=%-2zu in_flight=%-3zu calls_per_s=%-9.0f p50_ms=%-7.3f p99_ms=%-7.3f",
      peer ? "peer" : "runner", options.op.c_str(), peer ? 1 : options.connections,
      options.connections * options.depth, static_cast<double>(completed) / options.seconds, p50,
      p99);
  if (peer) {
    std::printf(" peer_peak_rss_mb=%.1f initialize_ms=%.1f",
                static_cast<double>(peakRssKb(peerPid)) / 1024, startMs);
  }
  std::printf(" failed=%llu\n", static_cast<unsigned long long>(failed));
  if (peer) {
    close(channels[0].writeFd);
    kill(peerPid, SIGTERM);
    waitpid(peerPid, nullptr, 0);
  }
  return failed == 0 ? 0 : 1;
}

int runSleepers(const Options& options) {
  const RunnerProtocol sleeps("sleep", options.workdir);
  const RunnerProtocol pings("ping", options.workdir);
  std::vector<Channel> channels(2);
  channels[0].protocol = &sleeps;
  channels[0].depth = options.sleepers;
  channels[0].limit = options.sleepers;
  channels[1].protocol = &pings;
  channels[1].depth = options.depth;
  for (auto& channel : channels)
    channel.readFd = channel.writeFd = connectTo(options.socket);
  const auto started = Clock::now();
  const Window window{started, started + std::chrono::hours(1)};
  drive(channels, window, [&] {
    if (channels[0].completed < options.sleepers) return false;
    channels[1].limit = channels[1].nextId - 1;  // the pings stop with the sleepers
    return channels[1].inFlight.empty();
  });
  const double sleepersSeconds =
      std::chrono::duration<double>(channels[0].lastReply - started).count();
  auto& latencies = channels[1].latencies;
  std::printf(
      "runner sleepers=%zu all_done_s=%.3f pings=%zu ping_p50_ms=%.3f ping_p99_ms=%.3f "
      "failed=%llu\n",
      options.sleepers, sleepersSeconds, latencies.size(), percentile(latencies, 0.50) / 1000,
      percentile(latencies, 0.99) / 1000,
      static_cast<unsigned long long>(channels[0].failed + channels[1].failed));
  return channels[0].failed + channels[1].failed == 0 ? 0 : 1;
}

// What the disk allows: the same durable write as write_file, one after another.
int runFsyncLoop(const Options& options) {
  const std::string text = content();
  std::uint64_t done = 0;
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.seconds));
  while (Clock::now() < end) {
    const std::string target = options.workdir + "/loop-" + std::to_string(done % kFileSlots);
    const std::string temporary = target + ".tmp";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        fsync(fd) != 0 || close(fd) != 0 || rename(temporary.c_str(), target.c_str()) != 0) {
      die(std::string("durable write failed: ") + std::strerror(errno));
    }
    ++done;
  }
  std::printf("fsync-loop writes_per_s=%.0f\n", static_cast<double>(done) / options.seconds);
  return 0;
}

// One attacking connection: the call it is sending (a head, a large body shared by every
// call, a tail), and how many more to make.
struct Attacker {
  struct Call {
    std::string head;
    std::shared_ptr<const std::string> body;
    std::string tail;
  };
  int fd = -1;
  Call call;
  std::size_t sent = 0;
  std::size_t callsLeft = 0;
  std::uint64_t nextId = 1;
  std::function<Call(std::uint64_t id)> make;

  [[nodiscard]] std::size_t size() const {
    return call.head.size() + (call.body ? call.body->size() : 0) + call.tail.size();
  }
  // The unsent bytes of the part the next send starts in.
  [[nodiscard]] std::string_view rest() const {
    std::size_t at = sent;
    for (const std::string* part : {&call.head, call.body.get(), &call.tail}) {
      if (part == nullptr) continue;
      if (at < part->size()) return std::string_view(*part).substr(at);
      at -= part->size();
    }
    return {};
  }
};

// Sends what the socket takes; false once the service has closed its side.
bool push(Attacker& attacker) {
  while (true) {
    if (attacker.sent == attacker.size()) {
      if (attacker.callsLeft == 0) return true;
      --attacker.callsLeft;
      attacker.call = attacker.make(attacker.nextId++);
      attacker.sent = 0;
    }
    const std::string_view rest = attacker.rest();
    const ssize_t wrote = ::send(attacker.fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (wrote > 0) {
      attacker.sent += static_cast<std::size_t>(wrote);
      continue;
    }
    return errno == EAGAIN || errno == EINTR;
  }
}

// A call of |request|, whose "@BODY@" stands for |body|.
Attacker::Call callAround(std::uint64_t id, const std::string& request,
                          std::shared_ptr<const std::string> body) {
  const std::string whole = encodeCall(std::to_string(id), request) + "\n";
  const std::size_t at = whole.find("@BODY@");
  if (at == std::string::npos) return {whole, nullptr, ""};
  return {whole.substr(0, at), std::move(body), whole.substr(at + 6)};
}

std::vector<Attacker> attackers(const Options& options) {
  std::vector<Attacker> out;
  if (options.kind == "a") {
    // 64 calls that hold every worker, then 200 calls of 5 MB behind them.
    auto content = std::make_shared<const std::string>(std::size_t{5} << 20, 'x');
    Attacker attacker;
    attacker.callsLeft = 264;
    attacker.make = [=](std::uint64_t id) {
      if (id <= 64) return callAround(id, R"({"op":"shell","command":"sleep 15"})", nullptr);
      return callAround(id,
                        R"({"op":"write_file","workspace_root":")" + options.workdir +
                            R"(","path":"big-)" + std::to_string(id) + R"(","content":"@BODY@"})",
                        content);
    };
    out.push_back(std::move(attacker));
  } else if (options.kind == "b") {
    // 30 connections, each one line of 60 MiB that never ends.
    auto line = std::make_shared<const std::string>(std::size_t{60} << 20, 'x');
    for (int i = 0; i < 30; ++i) {
      Attacker attacker;
      attacker.callsLeft = 1;
      attacker.make = [=](std::uint64_t) {
        return Attacker::Call{R"({"jsonrpc":"2.0","id":1,"method":"performRequest","params":[")",
                              line, ""};
      };
      out.push_back(std::move(attacker));
    }
  } else if (options.kind == "c") {
    // The most output a shell call can bring back, 3000 times, replies never read: a
    // control character on each stream, escaped six-fold in the reply.
    Attacker attacker;
    attacker.callsLeft = 3000;
    attacker.make = [=](std::uint64_t id) {
      return callAround(id,
                        R"({"op":"shell","workspace_root":")" + options.workdir +
                            R"(","command":"head -c 1100000 /dev/zero | tr '\\000' '\\001'; )"
                            R"(head -c 600000 /dev/zero | tr '\\000' '\\002' >&2"})",
                        nullptr);
    };
    out.push_back(std::move(attacker));
  }
  // Any other kind: no attacker, the pings alone (what the machine itself allows).
  for (auto& attacker : out)
    attacker.fd = connectTo(options.socket);
  return out;
}

// One ping: when it was sent and when its reply was read.
struct Ping {
  Clock::time_point sent;
  Clock::time_point answered;
  [[nodiscard]] double micros() const {
    return std::chrono::duration<double, std::micro>(answered - sent).count();
  }
};

// Pings on a connection of its own, one every 10 ms, each after the reply to the one
// before, until |stop|.
std::vector<Ping> pingUntil(const std::string& socket, const std::atomic<bool>& stop,
                            std::uint64_t& failed) {
  const int fd = connectTo(socket);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::vector<Ping> pings;
  std::string input;
  for (std::uint64_t id = 1; !stop; ++id) {
    const std::string line = encodeCall(std::to_string(id), R"({"op":"ping"})") + "\n";
    const auto sent = Clock::now();
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
      die("the service closed the ping connection");
    }
    while (input.find('\n') == std::string::npos) {
      char buffer[4096];
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) die("the service closed the ping connection");
      input.append(buffer, static_cast<std::size_t>(got));
    }
    pings.push_back({sent, Clock::now()});
    if (input.find(R"(\"ok\":true)") == std::string::npos) ++failed;
    input.erase(0, input.find('\n') + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  close(fd);
  return pings;
}

// The machine's own stalls: one thread of the client on each processor, at the ping
// thread's priority, sleeps 5 ms at a time and keeps each wake-up later than 20 ms as a stall
// [due, woke]. While one stalls, its processor ran nothing of that priority, whatever the
// service did; a ping that overlaps no stall measures the service alone.
using Stall = std::pair<Clock::time_point, Clock::time_point>;
std::vector<Stall> watchStalls(int cpu, const std::atomic<bool>& stop) {
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(cpu, &only);
  if (sched_setaffinity(0, sizeof only, &only) != 0) return {};
  constexpr auto kNap = std::chrono::milliseconds(5);
  constexpr auto kLate = std::chrono::milliseconds(20);
  std::vector<Stall> stalls;
  while (!stop) {
    const auto due = Clock::now() + kNap;
    std::this_thread::sleep_until(due);
    const auto woke = Clock::now();
    if (woke - due > kLate) stalls.emplace_back(due, woke);
  }
  return stalls;
}

double millis(Clock::duration span) {
  return std::chrono::duration<double, std::milli>(span).count();
}

int runAttack(const Options& options) {
  std::vector<Attacker> attacking = attackers(options);
  std::atomic<bool> stop{false};
  std::uint64_t failed = 0;
  std::vector<Ping> pings;
  std::vector<Stall> stalls;
  const auto started = Clock::now();
  std::thread pinger([&] { pings = pingUntil(options.socket, stop, failed); });
  cpu_set_t usable;
  CPU_ZERO(&usable);
  sched_getaffinity(0, sizeof usable, &usable);
  std::vector<std::vector<Stall>> stallsOf(CPU_SETSIZE);
  std::vector<std::thread> watchers;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &usable))
      watchers.emplace_back([&, cpu] { stallsOf[cpu] = watchStalls(cpu, stop); });
  }
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  for (std::size_t i = 0; i < attacking.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = i;
    epoll_ctl(epoll, EPOLL_CTL_ADD, attacking[i].fd, &event);
  }
  const auto left = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options.seconds));
  std::size_t refused = 0;
  epoll_event events[64];
  while (Clock::now() < left) {
    const int count = epoll_wait(epoll, events, 64, 10);
    for (int e = 0; e < count; ++e) {
      Attacker& attacker = attacking[events[e].data.u64];
      const bool open = push(attacker);
      if (!open || (attacker.callsLeft == 0 && attacker.sent == attacker.size())) {
        if (!open) ++refused;
        epoll_ctl(epoll, EPOLL_CTL_DEL, attacker.fd, nullptr);
        attacker.call = {};
      }
    }
  }
  close(epoll);
  for (auto& attacker : attacking)
    close(attacker.fd);
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const long after = statusKb(options.pid, "VmRSS");
  stop = true;
  pinger.join();
  for (auto& watcher : watchers)
    watcher.join();
  for (const auto& some : stallsOf)
    stalls.insert(stalls.end(), some.begin(), some.end());

  std::vector<double> latencies;
  double worst = 0;
  double worstAt = 0;
  double worstClear = 0;  // the slowest ping that overlapped no stall of the machine
  for (const Ping& ping : pings) {
    latencies.push_back(ping.micros());
    if (ping.micros() > worst) {
      worst = ping.micros();
      worstAt = millis(ping.sent - started) / 1000;
    }
    const bool stalled = std::any_of(stalls.begin(), stalls.end(), [&](const Stall& stall) {
      return stall.first < ping.answered && ping.sent < stall.second;
    });
    if (!stalled) worstClear = std::max(worstClear, ping.micros());
  }
  double longestStall = 0;
  for (const Stall& stall : stalls)
    longestStall = std::max(longestStall, millis(stall.second - stall.first));
  std::printf(
      "attack=%s peak_rss_mb=%.1f ping_max_ms=%.2f ping_max_at_s=%.2f ping_p99_ms=%.2f pings=%zu "
      "rss_5s_after_mb=%.1f attackers_refused=%zu/%zu machine_stalls=%zu stall_max_ms=%.1f "
      "ping_max_outside_stalls_ms=%.2f failed=%llu\n",
      options.kind.c_str(), static_cast<double>(statusKb(options.pid, "VmHWM")) / 1024,
      worst / 1000, worstAt, percentile(latencies, 0.99) / 1000, latencies.size(),
      static_cast<double>(after) / 1024, refused, attacking.size(), stalls.size(), longestStall,
      worstClear / 1000, static_cast<unsigned long long>(failed));
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const Options options = parseOptions(argc, argv);
  if (options.mode == "calls") return runCalls(options);
  if (options.mode == "sleepers") return runSleepers(options);
  if (options.mode == "fsync-loop") return runFsyncLoop(options);
  if (options.mode == "attack") return runAttack(options);
  die("unknown mode " + options.mode);
}
