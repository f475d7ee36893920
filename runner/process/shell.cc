#include "runner/process/shell.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "runner/guard/workspace.h"
#include "runner/process/process.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr double kShellDefaultTimeout = 30;
constexpr double kShellShortestTimeout = 1;

std::string currentDirectory() {
  std::string buffer(PATH_MAX, '\0');
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return {};
  buffer.resize(buffer.find('\0'));
  return buffer;
}

}  // namespace

std::string zshPath() {
  for (const char* candidate : {"/bin/zsh", "/usr/bin/zsh"}) {
    if (isExecutableFile(candidate)) return candidate;
  }
  return {};
}

RunnerResponse shell(const RunnerRequest& request) {
  const std::string_view command = request.command ? trimmed(*request.command) : std::string_view{};
  if (command.empty()) return failure("command is required");

  std::string directory = resolveRoot(request.workspaceRoot);
  if (directory.empty()) directory = currentDirectory();
  const double timeout =
      std::max(request.timeout.value_or(kShellDefaultTimeout), kShellShortestTimeout);

  std::string executable = zshPath();
  std::vector<std::string> arguments{"-c", std::string(command)};
  if (executable.empty()) {
    executable = "/usr/bin/env";
    arguments.insert(arguments.begin(), "zsh");
  }
  return runProcess(std::move(executable), std::move(arguments), std::move(directory), timeout);
}

}  // namespace OmviAgentRunnerMain
