#include "runner/dispatch.h"

#include <array>
#include <exception>

#include "runner/files/file_operations.h"
#include "runner/files/patch.h"
#include "runner/git/branches.h"
#include "runner/git/commit.h"
#include "runner/git/diff.h"
#include "runner/git/index.h"
#include "runner/git/push.h"
#include "runner/git/reports.h"
#include "runner/git/restore.h"
#include "runner/guard/workspace.h"
#include "runner/process/shell.h"
#include "runner/sandbox/call.h"
#include "runner/sandbox/sandbox.h"
#include "runner/text.h"
#include "runner/worktree/deliver.h"
#include "runner/worktree/worktree_add.h"
#include "runner/worktree/worktree_remove.h"

namespace OmviAgentRunnerMain {
namespace {

RunnerResponse ping(const RunnerRequest&) {
  return pingResponse();
}

constexpr std::array kOperations{
    Operation{"ping", &ping},
    Operation{"write_file", &writeFile},
    Operation{"mkdir", &mkdir},
    Operation{"delete_file", &deleteFile},
    Operation{"shell", &shell},
    Operation{"apply_diff", &applyDiff},
    Operation{"git_stage", &gitStage},
    Operation{"git_unstage", &gitUnstage},
    Operation{"git_commit", &gitCommit},
    Operation{"git_push", &gitPush},
    Operation{"git_branch_create", &gitBranchCreate},
    Operation{"git_branch_switch", &gitBranchSwitch},
    Operation{"git_restore", &gitRestore},
    Operation{"git_status", &gitStatus},
    Operation{"git_log", &gitLog},
    Operation{"git_diff", &gitDiff},
    Operation{"git_branch_list", &gitBranchList},
    Operation{"git_deliver", &gitDeliver},
    Operation{"git_worktree_add", &gitWorktreeAdd},
    Operation{"git_worktree_remove", &gitWorktreeRemove},
};

}  // namespace

std::span<const Operation> operationTable() {
  return kOperations;
}

RunnerResponse pingResponse() {
  return success({.stdoutText = "pong"});
}

RunnerResponse handle(const RunnerRequest& request) {
  const std::string name = lowercased(trimmed(request.op));
  for (const auto& operation : kOperations) {
    if (operation.name != name) continue;
    // The one border where anything unexpected (memory exhaustion) becomes a response.
    try {
      // Under the sandbox every request is one call: its children end with it.
      std::optional<SandboxCall> call;
      if (sandboxSettings().enabled) call.emplace(resolveRoot(request.workspaceRoot));
      return operation.handler(request);
    } catch (const std::exception& error) {
      return failure(std::string("internal_error: ") + error.what());
    }
  }
  return failure("unknown op '" + request.op + "'");
}

}  // namespace OmviAgentRunnerMain
