#include "tests/support/service_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "runner/service/json_rpc.h"

namespace omvi_test {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  return address;
}

// A stream socket connected to |path|, or -1.
int connectTo(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressOf(path);
  if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::vector<std::string>& argv,
                               const std::map<std::string, std::string>& environment,
                               bool awaitReady) {
  // The service announces itself on this datagram socket once it listens.
  const std::string notifyPath = scratch_ / "notify";
  const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = addressOf(notifyPath);
  EXPECT_EQ(bind(notify, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  std::map<std::string, std::string> merged = environment;
  merged.emplace("NOTIFY_SOCKET", notifyPath);
  output_ = memfd_create("service", MFD_CLOEXEC);
  const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = spawn(argv, devNull, output_, output_, merged);
  close(devNull);
  if (awaitReady) {
    bool ready = false;
    pollfd wanted{notify, POLLIN, 0};
    if (poll(&wanted, 1, static_cast<int>(kDeadline.count())) == 1) {
      char message[64] = {};
      ready = recv(notify, message, sizeof message - 1, 0) > 0 && std::string(message) == "READY=1";
    }
    EXPECT_TRUE(ready) << "no READY=1 from " << argv[0] << "\n" << output();
  }
  close(notify);
}

ServiceProcess::~ServiceProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(output_);
}

std::vector<std::string> ServiceProcess::runnerServing(const std::string& socketPath,
                                                       const std::vector<std::string>& extra) {
  std::vector<std::string> argv{runnerBinary(), "--xpc-service", "--socket", socketPath};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

void ServiceProcess::signal(int number) const {
  if (!status_) kill(pid_, number);
}

std::optional<int> ServiceProcess::wait(milliseconds deadline) {
  eventually(
      [&] {
        int waitStatus = 0;
        if (!status_ && waitpid(pid_, &waitStatus, WNOHANG) == pid_) {
          status_ = exitStatus(waitStatus);
        }
        return status_.has_value();
      },
      deadline);
  return status_;
}

ServiceClient::ServiceClient(const std::string& socketPath) : fd_(connectTo(socketPath)) {
  if (fd_ < 0) ADD_FAILURE() << "cannot connect to " << socketPath << ": " << std::strerror(errno);
}

ServiceClient::~ServiceClient() {
  if (fd_ >= 0) close(fd_);
}

bool ServiceClient::send(const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
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
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    pollfd wanted{fd_, POLLIN, 0};
    if (ended_ || fd_ < 0 || poll(&wanted, 1, static_cast<int>(std::max<long>(left, 0))) != 1) {
      return std::nullopt;
    }
    char chunk[65536];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {  // end of file, or reset with nothing left to read
      ended_ = true;
      return std::nullopt;
    }
    buffered_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool ServiceClient::endsWithin(milliseconds deadline) {
  while (readLine(deadline)) {
  }
  return ended_;
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

bool listening(const std::string& path) {
  const int fd = connectTo(path);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

}  // namespace omvi_test
