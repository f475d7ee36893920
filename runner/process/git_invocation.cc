#include "runner/process/git_invocation.h"

#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/process/process.h"
#include "runner/sandbox/sandbox.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr double kRepositoryProbeTimeout = 5;
constexpr const char* kPreferredGit = "/usr/bin/git";

// The reports that only read (status, log, diff, branch list) have no use for hooks or an
// fsmonitor program, both of which the repository's own configuration could name.
bool onlyReads(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  const std::string& command = args.front();
  return command == "status" || command == "log" || command == "diff" || command == "branch";
}

}  // namespace

RunnerResponse runGit(std::vector<std::string> args, std::string directory, double timeout,
                      InvalidText invalidStdout) {
  if (sandboxSettings().enabled && onlyReads(args)) {
    args.insert(args.begin(), {"-c", "core.hooksPath=/dev/null", "-c", "core.fsmonitor=false"});
  }
  if (isExecutableFile(kPreferredGit)) {
    return runProcess(kPreferredGit, std::move(args), std::move(directory), timeout, invalidStdout);
  }
  args.insert(args.begin(), "git");
  return runProcess("/usr/bin/env", std::move(args), std::move(directory), timeout, invalidStdout);
}

bool isGitRepo(const std::string& directory) {
  if (fileExists(appendingPathComponent(directory, ".git"))) return true;
  return runGit({"rev-parse", "--show-toplevel"}, directory, kRepositoryProbeTimeout).ok;
}

}  // namespace OmviAgentRunnerMain
