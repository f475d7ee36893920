#include "runner/process/git_invocation.h"

#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/process/process.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr double kRepositoryProbeTimeout = 5;
constexpr const char* kPreferredGit = "/usr/bin/git";

}  // namespace

RunnerResponse runGit(std::vector<std::string> args, std::string directory, double timeout) {
  if (isExecutableFile(kPreferredGit)) {
    return runProcess(kPreferredGit, std::move(args), std::move(directory), timeout);
  }
  args.insert(args.begin(), "git");
  return runProcess("/usr/bin/env", std::move(args), std::move(directory), timeout);
}

bool isGitRepo(const std::string& directory) {
  if (fileExists(appendingPathComponent(directory, ".git"))) return true;
  return runGit({"rev-parse", "--show-toplevel"}, directory, kRepositoryProbeTimeout).ok;
}

}  // namespace OmviAgentRunnerMain
