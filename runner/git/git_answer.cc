#include "runner/git/git_answer.h"

namespace OmviAgentRunnerMain {

std::string failureText(const RunnerResponse& run, const FailureTextRule& rule) {
  if (run.stderrText) return *run.stderrText;
  if (rule.stdoutFallback == StdoutFallback::kAfterStderr && run.stdoutText) return *run.stdoutText;
  if (run.error) return *run.error;
  return std::string(rule.lastResort);
}

RunnerResponse answerFromRun(const RunnerResponse& run, const GitAnswer& answer) {
  if (run.ok) {
    return success({.affectedPaths = answer.affectedPaths,
                    .message = answer.successMessage,
                    .stdoutText = run.stdoutText,
                    .stderrText = run.stderrText,
                    .exitStatus = 0});
  }
  return failure(failureText(run, answer.failureRule), {.stdoutText = run.stdoutText,
                                                        .stderrText = run.stderrText,
                                                        .exitStatus = run.exitStatus,
                                                        .affectedPaths = answer.affectedPaths});
}

}  // namespace OmviAgentRunnerMain
