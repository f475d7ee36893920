// What the service tests share: a runner serving on a temporary socket, and a client that
// speaks its newline-delimited JSON-RPC with deadlines on every wait.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace omvi_test {

/// A service process: |argv| started with its standard output and error captured together,
/// and (unless |awaitReady| is false) READY=1 awaited on a notification socket of its own.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& environment = {},
                          bool awaitReady = true);
  ~ServiceProcess();  ///< kills the process if it still runs
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  /// The runner serving on |socketPath| with |extra| switches.
  static std::vector<std::string> runnerServing(const std::string& socketPath,
                                                const std::vector<std::string>& extra = {});

  [[nodiscard]] pid_t pid() const { return pid_; }
  void signal(int number) const;
  /// The exit status (128 + signal when killed), or nothing when still running at |deadline|.
  std::optional<int> wait(milliseconds deadline = kDeadline);
  /// Everything the process wrote to standard output and standard error.
  [[nodiscard]] std::string output() const { return contents(output_); }

 private:
  TempDir scratch_;
  int output_ = -1;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

/// One connection to a service.
class ServiceClient {
 public:
  explicit ServiceClient(const std::string& socketPath);  ///< fails the test if it cannot
  ~ServiceClient();
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  /// Sends |bytes| as they are; false when the service no longer reads.
  bool send(const std::string& bytes);
  /// Sends a performRequest call of |request| with the id |id|, and a line feed.
  bool call(long id, const std::string& request);
  /// The next line without its line feed; nothing at end of file or at the deadline.
  std::optional<std::string> readLine(milliseconds deadline = kDeadline);
  /// True when the service ends the connection (after any lines left) before the deadline.
  bool endsWithin(milliseconds deadline = kDeadline);

 private:
  int fd_ = -1;
  bool ended_ = false;
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

/// Whether something accepts connections on the socket |path| (a socket file exists between
/// bind and listen, so its presence is not enough).
bool listening(const std::string& path);

}  // namespace omvi_test
