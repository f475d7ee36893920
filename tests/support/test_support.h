// What the tests share: temporary directories, running the real binary, reading its JSON,
// and hermetic git repositories.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace omvi_test {

/// A fresh directory (its real path, links resolved), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  /// path() + "/" + |relative|
  [[nodiscard]] std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

struct Completed {
  std::string out;
  std::string err;
  int status = -1;  ///< exit status, or 128 + signal
};

/// Runs |argv| (argv[0] is the program, found on PATH when not absolute) with |input| on
/// standard input (none: standard input closed), the environment of the test process with
/// |environment| on top, in |directory| ("" for the current one). Waits for the end.
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

/// A JSON string literal for |text|.
std::string quote(const std::string& text);

/// Runs a shell command (sh -c) and returns its standard output; fails the test on a non-zero
/// exit.
std::string sh(const std::string& command, const std::string& directory = "");

/// Environment that makes git deterministic and independent of the developer's setup.
std::map<std::string, std::string> hermeticGitEnvironment(const std::string& home);

/// Puts the hermetic git environment (with a private HOME) into this test process, once, so
/// that every child of the tests, the runner included, inherits it.
void useHermeticEnvironment();

/// A fresh repository at |directory| on branch "main", with one commit of README.md unless
/// |commit| is false.
void makeRepository(const std::string& directory, bool commit = true);

}  // namespace omvi_test
