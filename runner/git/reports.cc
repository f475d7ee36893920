#include "runner/git/reports.h"

#include <algorithm>
#include <string>
#include <vector>

#include "runner/git/git_answer.h"
#include "runner/git/repository.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::int64_t kDefaultLogCount = 10;
constexpr std::int64_t kMostLogCount = 100;

// One report: its fixed arguments (the log adds "-<count>" after them) and its texts.
struct Report {
  std::vector<std::string> arguments;
  bool appendsLogCount;
  std::string_view successMessage;
  std::string_view lastResort;
};

const Report kStatus{{"status", "--porcelain=1", "--branch"}, false, "status", "git status failed"};
const Report kLog{{"log", "--oneline"}, true, "log", "git log failed"};
const Report kBranchList{{"branch", "--list"}, false, "branch_list", "git branch --list failed"};

RunnerResponse runReport(const RunnerRequest& request, const Report& report) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  std::vector<std::string> args = report.arguments;
  if (report.appendsLogCount) {
    args.push_back(std::to_string(logCount(request.count)));
    args.back().insert(args.back().begin(), '-');
  }
  const RunnerResponse run =
      runGit(std::move(args), repository.root, timeLimit(request.timeout, kGitTimeLimit));
  return answerFromRun(run, {.successMessage = std::string(report.successMessage),
                             .failureRule = {StdoutFallback::kNever, report.lastResort}});
}

}  // namespace

std::int64_t logCount(const std::optional<std::int64_t>& count) {
  return count ? std::clamp<std::int64_t>(*count, 1, kMostLogCount) : kDefaultLogCount;
}

RunnerResponse gitStatus(const RunnerRequest& request) {
  return runReport(request, kStatus);
}

RunnerResponse gitLog(const RunnerRequest& request) {
  return runReport(request, kLog);
}

RunnerResponse gitBranchList(const RunnerRequest& request) {
  return runReport(request, kBranchList);
}

}  // namespace OmviAgentRunnerMain
