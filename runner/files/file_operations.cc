#include "runner/files/file_operations.h"

#include "runner/files/confined_fs.h"
#include "runner/guard/workspace.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::string_view kPathRequired = "path is required";

// The checks the three operations share: a path is given, and it lies in the workspace.
// Answers the authorized path, or the failure to return.
struct TargetCheck {
  std::string path;
  std::string root;
  std::optional<RunnerResponse> refusal;
};

TargetCheck checkPathPresent(const RunnerRequest& request) {
  const std::string_view path = request.path ? trimmed(*request.path) : std::string_view{};
  if (path.empty()) return {{}, {}, failure(std::string(kPathRequired))};
  return {std::string(path), {}, std::nullopt};
}

TargetCheck authorizeTarget(TargetCheck check, const RunnerRequest& request) {
  check.root = resolveRoot(request.workspaceRoot);
  auto authorized = authorize(check.path, check.root);
  if (!authorized) return {{}, {}, failure(std::string(kPathOutsideWorkspace))};
  check.path = std::move(*authorized);
  return check;
}

}  // namespace

RunnerResponse writeFile(const RunnerRequest& request) {
  TargetCheck check = checkPathPresent(request);
  if (check.refusal) return *check.refusal;
  if (!request.content) return failure("content is required");
  check = authorizeTarget(std::move(check), request);
  if (check.refusal) return *check.refusal;
  if (auto error = writeFileAtomically(check.root, check.path, request.content->view())) {
    return failure("write_failed: " + *error);
  }
  return success({.path = check.path,
                  .writtenBytes = static_cast<std::int64_t>(request.content->size()),
                  .affectedPaths = std::vector<std::string>{check.path}});
}

RunnerResponse mkdir(const RunnerRequest& request) {
  TargetCheck check = checkPathPresent(request);
  if (check.refusal) return *check.refusal;
  check = authorizeTarget(std::move(check), request);
  if (check.refusal) return *check.refusal;
  if (auto error = makeDirectories(check.root, check.path))
    return failure("mkdir_failed: " + *error);
  return success({.path = check.path, .affectedPaths = std::vector<std::string>{check.path}});
}

RunnerResponse deleteFile(const RunnerRequest& request) {
  TargetCheck check = checkPathPresent(request);
  if (check.refusal) return *check.refusal;
  check = authorizeTarget(std::move(check), request);
  if (check.refusal) return *check.refusal;
  if (auto error = removeEntry(check.root, check.path)) return failure("delete_failed: " + *error);
  return success({.path = check.path,
                  .affectedPaths = std::vector<std::string>{check.path},
                  .message = "deleted"});
}

}  // namespace OmviAgentRunnerMain
