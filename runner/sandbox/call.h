// One call's share of the sandbox, from the moment `handle` takes a request until it answers.
//
// Owns: the call's workspace root as the sandbox sees it, its private temporary directory
// (made on the first confined child, removed with its contents at the end), the git
// directories found for its directories (found once per call), the sessions of the children it
// started, and ending them: at the end every process of those sessions is killed and every one
// the runner inherited is reaped.
// Does not own: the children's own runs and their exit statuses (process.h: each is reaped by
// the run that started it, never here), or the process-wide settings (sandbox.h).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "runner/posix.h"

namespace OmviAgentRunnerMain {

class SandboxCall {
 public:
  /// Installs the call on this thread; |workspaceRoot| is the resolved root ("" when the
  /// request has none).
  explicit SandboxCall(std::string workspaceRoot);
  /// Ends the call's processes, reaps what the runner inherited from it, removes the temporary
  /// directory, and uninstalls the call.
  ~SandboxCall();
  SandboxCall(const SandboxCall&) = delete;
  SandboxCall& operator=(const SandboxCall&) = delete;

  /// The call installed on this thread; null outside a call.
  [[nodiscard]] static SandboxCall* current();

  [[nodiscard]] const std::string& root() const { return root_; }
  /// The call's temporary directory, made on first use; "" when it cannot be made.
  [[nodiscard]] const std::string& temporaryDirectory();
  /// The git directory and common directory of the repository holding |directory| (either
  /// may be inside the root); none outside a repository.
  [[nodiscard]] const std::vector<std::string>& gitDirectories(const std::string& directory);
  /// Records a child started for this call: its pid is its session's and process group's id.
  void addSession(pid_t session) { sessions_.push_back(session); }

 private:
  void endProcesses();

  std::string root_;
  std::string temporaryDirectory_;
  UniqueFd temporaryParent_;
  std::string temporaryName_;
  bool temporaryTried_ = false;
  std::map<std::string, std::vector<std::string>> gitDirectories_;
  std::vector<pid_t> sessions_;
  SandboxCall* previous_;
};

/// The git directory and common directory for |directory|: the nearest ".git" at or above it
/// (a directory, or a file naming one). A ".git" file is believed only when the directory it
/// names points back to it (git's own link for a linked worktree), and a "commondir" only when
/// the git directory lies in its "worktrees" folder: the workspace's content is the agent's,
/// and a forged one must not make other places writable.
[[nodiscard]] std::vector<std::string> findGitDirectories(const std::string& directory);

}  // namespace OmviAgentRunnerMain
