// The ways of handing one request to the runner, for the hostile-input tests: the command
// line's two (standard input and --json), a call to the socket service, and `handleJSONText`
// in this process. Every corpus runs over each of them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

namespace omvi_test {

enum class Way { kStandardInput, kJsonArgument, kSocket, kInProcess };
inline constexpr Way kWays[] = {Way::kStandardInput, Way::kJsonArgument, Way::kSocket,
                                Way::kInProcess};

/// What came back for one request.
struct Exchange {
  std::string output;             ///< everything the runner wrote (one line expected)
  std::string errorOutput;        ///< standard error (always expected empty)
  std::optional<int> exitStatus;  ///< the command line's status; nothing otherwise
  bool finished = true;           ///< false when the deadline passed and the runner was killed
};

std::string nameOf(Way way);

/// Whether |request| can travel |way| at all: an argument holds no NUL and the kernel limits
/// its length; a call travels as a JSON string in a UTF-8 line.
bool carries(Way way, const std::string& request);

/// Whether case |index| of a corpus goes over |way|. A runner's start costs a tenth of a
/// second in a sanitizer build, so there only every eighth case is sent through the command
/// line; every case still goes over the socket and in process.
bool sampled(Way way, std::size_t index);

/// Sends |request| over |way|. |directory|, when given, is the runner's working directory
/// (the command line's ways only: the service and this process keep their own).
Exchange send(Way way, const std::string& request, const std::string& directory = "");

/// The service that the socket way shares across the test program, once started: a child of
/// this process that lives until the program ends.
std::optional<pid_t> sharedServiceProcess();

/// How a request must be answered.
enum class Outcome {
  kOk,       ///< `ok` true (status 0)
  kFailed,   ///< `ok` false from an operation (status 1)
  kRefused,  ///< "invalid JSON request: ..." or "invalid_utf8_request" (status 2)
};

/// Checks one exchange: finished, nothing on standard error, exactly one line that is one JSON
/// object with `helper` and `ok`, and an outcome among |allowed| (the status agreeing with it).
/// Returns the decoded error text ("" for a success).
std::string expectAnswer(const Exchange& exchange, const std::vector<Outcome>& allowed,
                         const std::string& what);

/// Runs |work| for every index below |count| on two threads.
void forEachInParallel(std::size_t count, const std::function<void(std::size_t)>& work);

}  // namespace omvi_test
