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

struct Report {
  std::vector<std::string> (*arguments)(const RunnerRequest&);
  std::string_view successMessage;
  std::string_view lastResort;
};

const Report kStatus{[](const RunnerRequest&) -> std::vector<std::string> {
                       return {"status", "--porcelain=1", "--branch"};
                     },
                     "status", "git status failed"};

const Report kLog{[](const RunnerRequest& request) -> std::vector<std::string> {
                    std::string limit = std::to_string(logCount(request.count));
      limit.insert(limit.begin(), '-');
      return {"log", "--oneline", std::move(limit)};
                  },
                  "log", "git log failed"};

const Report kBranchList{[](const RunnerRequest&) -> std::vector<std::string> {
                           return {"branch", "--list"};
                         },
                         "branch_list", "git branch --list failed"};

RunnerResponse runReport(const RunnerRequest& request, const Report& report) {
  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  const RunnerResponse run =
      runGit(report.arguments(request), repository.root, timeLimit(request.timeout, kGitTimeLimit));
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
