// Ways of handing one request to the runner, for the hostile-input tests: the command line's
// two (standard input and --json), a call to the socket service, and `handleJSONText` in this
// process. Every corpus runs over each of them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace omvi_test {

/// What came back for one request.
struct Exchange {
  std::string output;             ///< everything the runner wrote (one line expected)
  std::string errorOutput;        ///< standard error (always expected empty)
  std::optional<int> exitStatus;  ///< the command line's status; nothing over a socket
  bool finished = true;           ///< false when the deadline passed and the runner was killed
};

class Transport {
 public:
  virtual ~Transport() = default;
  [[nodiscard]] virtual std::string name() const = 0;
  /// Whether |request| can travel this way at all (an argument holds no NUL, and the kernel
  /// limits its length).
  [[nodiscard]] virtual bool carries(const std::string& request) const = 0;
  [[nodiscard]] virtual Exchange send(const std::string& request) const = 0;
  /// Whether each request starts a process of the runner. In a sanitizer build such a start
  /// costs a tenth of a second, so there the corpora send only a sample of their cases this
  /// way (every case still goes in process); the release build sends every case everywhere.
  [[nodiscard]] virtual bool startsARunner() const { return true; }
};

/// Whether case |index| goes over |way| (see `Transport::startsARunner`).
[[nodiscard]] bool sampled(const Transport& way, std::size_t index);

/// Every way in that the runner offers.
std::vector<std::unique_ptr<Transport>> transports();

/// The service that the socket transport shares across the test program, once started: a
/// child of this process that lives until the program ends.
std::optional<pid_t> sharedServiceProcess();

/// How a request must be answered.
enum class Outcome {
  kOk,       ///< `ok` true (status 0)
  kFailed,   ///< `ok` false from an operation (status 1)
  kRefused,  ///< "invalid JSON request: ..." (status 2)
};

/// Checks one exchange: finished, nothing on standard error, exactly one line that is one JSON
/// object with `helper` and `ok`, and an outcome among |allowed| (the status agreeing with it).
/// Returns the decoded error text ("" for a success).
std::string expectAnswer(const Exchange& exchange, std::initializer_list<Outcome> allowed,
                         const std::string& what);

/// Runs |work| for every index below |count| on two threads.
void forEachInParallel(std::size_t count, const std::function<void(std::size_t)>& work);

}  // namespace omvi_test
