// What the service tests share: a runner serving on a temporary socket, and a client that
// speaks its newline-delimited JSON-RPC with deadlines on every wait.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace omvi_test {

using std::chrono::milliseconds;

/// Generous: sanitizer builds are slow to start.
inline constexpr milliseconds kServiceDeadline{20000};

/// A service process: the runner started with |arguments| (after its path), its standard
/// output and error captured, and READY=1 awaited on a notification socket of its own.
class ServiceProcess {
 public:
  /// |argv| is the whole command line; the runner's by default.
  explicit ServiceProcess(std::vector<std::string> argv,
                          const std::map<std::string, std::string>& environment = {},
                          bool awaitReady = true);
  ~ServiceProcess();  ///< kills the process if it still runs
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  /// The runner serving on |socketPath| with |extra| switches.
  static std::vector<std::string> runnerServing(const std::string& socketPath,
                                                const std::vector<std::string>& extra = {});

  [[nodiscard]] pid_t pid() const { return pid_; }
  [[nodiscard]] bool ready() const { return ready_; }
  void signal(int number) const;
  /// The exit status (128 + signal when killed), or nothing when still running at |deadline|.
  std::optional<int> wait(milliseconds deadline = kServiceDeadline);
  /// Everything the process wrote to standard output and standard error.
  [[nodiscard]] std::string output() const;

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::optional<int> status_;
};

/// One connection to a service.
class ServiceClient {
 public:
  explicit ServiceClient(const std::string& socketPath);  ///< fails the test if it cannot
  ~ServiceClient();
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  [[nodiscard]] bool connected() const { return fd_ >= 0; }
  /// Sends |bytes| as they are; false when the service no longer reads.
  bool send(const std::string& bytes);
  /// Sends a performRequest call of |request| with the id |id|, and a line feed.
  bool call(long id, const std::string& request);
  /// The next line without its line feed; nothing at end of file or at the deadline.
  std::optional<std::string> readLine(milliseconds deadline = kServiceDeadline);
  /// True when the service ends the connection (after any lines left) before the deadline.
  bool endsWithin(milliseconds deadline = kServiceDeadline);
  void close();

 private:
  int fd_ = -1;
  std::string buffered_;
};

/// A decoded reply line: its id text, and the runner's response for a result.
struct ServiceReply {
  std::string id;
  bool isResult = false;
  std::string result;  ///< the response JSON of a result
  int errorCode = 0;
  std::string errorMessage;
  [[nodiscard]] Response response() const { return parse(result + "\n"); }
};

/// Decodes |line| (fails the test when it is not a JSON-RPC reply).
ServiceReply decodeServiceReply(const std::optional<std::string>& line);

/// A `shell` request running |command|.
std::string shellRequest(const std::string& command);

/// Waits for |path| to exist, up to |deadline|.
bool waitForFile(const std::string& path, milliseconds deadline = kServiceDeadline);

/// Waits until something accepts connections on the socket |path| (a socket file exists
/// between bind and listen, so its presence is not enough).
bool waitForListener(const std::string& path, milliseconds deadline = kServiceDeadline);

}  // namespace omvi_test
