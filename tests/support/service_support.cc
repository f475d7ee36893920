#include "tests/support/service_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "runner/service/json_rpc.h"

extern char** environ;

namespace omvi_test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point until) {
  const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

}  // namespace

ServiceProcess::ServiceProcess(std::vector<std::string> argv,
                               const std::map<std::string, std::string>& environment,
                               bool awaitReady) {
  // The service announces itself on this datagram socket once it listens.
  const std::string notifyPath = scratch_ / "notify";
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressOf(notifyPath);
  EXPECT_EQ(bind(notify, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  merged["NOTIFY_SOCKET"] = notifyPath;
  for (const auto& [key, value] : environment)
    merged[key] = value;
  std::vector<std::string> envText;
  for (const auto& [key, value] : merged)
    envText.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envText)
    envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (auto& argument : argv)
    args.push_back(argument.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string outputPath = scratch_ / "output";
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int spawned = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << argv[0];
  if (spawned != 0) pid_ = -1;

  if (awaitReady && pid_ > 0) {
    pollfd wanted{notify, POLLIN, 0};
    if (poll(&wanted, 1, static_cast<int>(kServiceDeadline.count())) == 1) {
      char message[64] = {};
      const ssize_t got = recv(notify, message, sizeof message - 1, 0);
      ready_ = got > 0 && std::string(message) == "READY=1";
    }
    EXPECT_TRUE(ready_) << "no READY=1 from " << argv[0] << "\n" << output();
  }
  ::close(notify);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::vector<std::string> ServiceProcess::runnerServing(const std::string& socketPath,
                                                       const std::vector<std::string>& extra) {
  std::vector<std::string> argv{runnerBinary(), "--xpc-service", "--socket", socketPath};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

void ServiceProcess::signal(int number) const {
  if (pid_ > 0 && !status_) kill(pid_, number);
}

std::optional<int> ServiceProcess::wait(milliseconds deadline) {
  if (status_ || pid_ <= 0) return status_;
  const auto until = Clock::now() + deadline;
  while (true) {
    int waitStatus = 0;
    const pid_t got = waitpid(pid_, &waitStatus, WNOHANG);
    if (got == pid_) {
      status_ = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
      return status_;
    }
    if (Clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(milliseconds(5));  // polling a child: no descriptor to wait on
  }
}

std::string ServiceProcess::output() const {
  std::ifstream file(scratch_ / "output");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

ServiceClient::ServiceClient(const std::string& socketPath) {
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressOf(socketPath);
  if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "cannot connect to " << socketPath << ": " << std::strerror(errno);
    close();
  }
}

ServiceClient::~ServiceClient() {
  close();
}

void ServiceClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ServiceClient::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t wrote = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    sent += static_cast<std::size_t>(wrote);
  }
  return fd_ >= 0;
}

bool ServiceClient::call(long id, const std::string& request) {
  return send(OmviAgentRunnerMain::encodeCall(std::to_string(id), request) + "\n");
}

std::optional<std::string> ServiceClient::readLine(milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (true) {
    const auto feed = buffered_.find('\n');
    if (feed != std::string::npos) {
      std::string line = buffered_.substr(0, feed);
      buffered_.erase(0, feed + 1);
      return line;
    }
    if (fd_ < 0) return std::nullopt;
    pollfd wanted{fd_, POLLIN, 0};
    if (poll(&wanted, 1, remainingMs(until)) != 1) return std::nullopt;
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool ServiceClient::endsWithin(milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  while (fd_ >= 0) {
    pollfd wanted{fd_, POLLIN, 0};
    if (poll(&wanted, 1, remainingMs(until)) != 1) return false;
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return true;  // end of file, or reset with nothing left to read
  }
  return true;
}

ServiceReply decodeServiceReply(const std::optional<std::string>& line) {
  ServiceReply reply;
  EXPECT_TRUE(line.has_value()) << "no reply line";
  if (!line) return reply;
  const auto decoded = OmviAgentRunnerMain::decodeReply(*line);
  EXPECT_TRUE(decoded.has_value()) << *line;
  if (!decoded) return reply;
  reply.id = decoded->id;
  reply.isResult = decoded->result.has_value();
  reply.result = decoded->result.value_or("");
  reply.errorCode = decoded->errorCode;
  reply.errorMessage = decoded->errorMessage;
  return reply;
}

std::string shellRequest(const std::string& command) {
  return R"({"op":"shell","command":)" + quote(command) + "}";
}

bool waitForListener(const std::string& path, milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  while (true) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool listening =
        fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    if (listening) return true;
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(5));  // no descriptor to wait on
  }
}

bool waitForFile(const std::string& path, milliseconds deadline) {
  const auto until = Clock::now() + deadline;
  struct stat status {};
  while (stat(path.c_str(), &status) != 0) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(5));  // no descriptor to wait on
  }
  return true;
}

}  // namespace omvi_test
