// What the tests share: temporary directories, running processes, reading the runner's JSON,
// waiting with deadlines, and hermetic git repositories.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace omvi_test {

using std::chrono::milliseconds;

/// Generous: sanitizer builds are slow to start.
inline constexpr milliseconds kDeadline{20000};

/// Whether these tests run under ThreadSanitizer, whose runtime dies on the sandbox's raw
/// clone child: sandboxed runs are skipped there.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitized = true;
#else
inline constexpr bool kThreadSanitized = false;
#endif
#else
inline constexpr bool kThreadSanitized = false;
#endif

/// A fresh directory (its real path, links resolved) in |parent| (the system's temporary
/// directory when empty), removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const std::string& parent = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  /// path() + "/" + |relative|
  [[nodiscard]] std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

/// Starts |argv| (argv[0] found on PATH when not absolute) with |in|, |out| and |err| as its
/// descriptors 0, 1 and 2 (-1: closed), the environment of this process with |environment| on
/// top, in |directory| ("" for the current one). A program that cannot start exits 127.
pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err,
            const std::map<std::string, std::string>& environment = {},
            const std::string& directory = "");

/// An exit status from waitpid's: the exit status, or 128 + the signal.
int exitStatus(int waitStatus);

/// Everything written to the file |fd| (a memfd, say) from its start.
std::string contents(int fd);

struct Completed {
  std::string out;
  std::string err;
  int status = -1;  ///< exit status, or 128 + signal
};

/// Runs |argv| (see `spawn`) with |input| on standard input through a pipe (none: standard
/// input closed), and waits for it. Its output goes to files, so it never waits for this
/// process: writing all the input and then waiting cannot deadlock.
Completed run(const std::vector<std::string>& argv, const std::optional<std::string>& input = "",
              const std::map<std::string, std::string>& environment = {},
              const std::string& directory = "");

/// The runner binary under test.
std::string runnerBinary();

/// Runs the runner with |arguments| after its path.
Completed runRunner(const std::vector<std::string>& arguments,
                    const std::optional<std::string>& input = "",
                    const std::map<std::string, std::string>& environment = {});

/// Runs the runner with |request| after "--json".
Completed runRequest(const std::string& request,
                     const std::map<std::string, std::string>& environment = {});

/// A decoded response line: each key's JSON value kept as its decoded scalar or list.
struct Response {
  std::vector<std::string> keys;  ///< in the order written
  std::map<std::string, std::string> strings;
  std::map<std::string, long long> integers;
  std::map<std::string, bool> booleans;
  std::map<std::string, std::vector<std::string>> lists;

  [[nodiscard]] bool has(const std::string& key) const;
  [[nodiscard]] std::string str(const std::string& key) const;  ///< "" when absent
  [[nodiscard]] bool ok() const;
};

/// Parses one line of runner output (fails the current test when it is not one JSON object
/// followed by one line feed).
Response parse(const std::string& line);

/// Sends {"op":op,"workspace_root":root<fields>} (|fields| raw JSON continuing the object, as
/// ",\"path\":\"a\"") with --json; checks that the status agrees with `ok` and that nothing
/// reached standard error.
Response send(const std::string& op, const std::string& root, const std::string& fields = "",
              const std::map<std::string, std::string>& environment = {});

/// |text| |times| times over.
std::string repeat(const std::string& text, std::size_t times);

/// A JSON string literal for |text|.
std::string quote(const std::string& text);

/// Runs a shell command (sh -c) and returns its standard output; fails the test on a non-zero
/// exit.
std::string sh(const std::string& command, const std::string& directory = "");

/// The sentinel snapshot of everything under |top| but |spared| ("./x", relative to |top|):
/// each entry's path, type and mode, size, modification time to the nanosecond, link count and
/// link target, then each file's checksum. Equal snapshots: nothing there changed.
std::string snapshot(const std::string& top, const std::string& spared = "./-");

/// Polls |condition| until it holds or |deadline| passes (for what gives no descriptor to
/// wait on); whether it held.
bool eventually(const std::function<bool()>& condition, milliseconds deadline = kDeadline);

/// The children of |pid| (zombies included), each as "<pid> <state letter>".
std::vector<std::string> childrenOf(pid_t pid);

/// Descriptors left open across exec (one numbered 200 or above) while it lives: every child
/// started meanwhile inherits them unless its parent closes them.
class InheritedDescriptors {
 public:
  InheritedDescriptors();
  ~InheritedDescriptors();
  InheritedDescriptors(const InheritedDescriptors&) = delete;
  InheritedDescriptors& operator=(const InheritedDescriptors&) = delete;

 private:
  std::vector<int> fds_;
};

/// Puts an environment that makes git deterministic and independent of the developer's setup
/// (with a private HOME) into this test process, once, so that every child of the tests, the
/// runner included, inherits it.
void useHermeticEnvironment();

/// A fresh repository at |directory| on branch "main", with one commit of README.md unless
/// |commit| is false.
void makeRepository(const std::string& directory, bool commit = true);

}  // namespace omvi_test
