#include "runner/git/repository.h"

#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"

namespace OmviAgentRunnerMain {

RepositoryCheck requireRepository(const RunnerRequest& request) {
  std::string root = resolveRoot(request.workspaceRoot);
  if (root.empty()) return {{}, failure(std::string(kWorkspaceRootRequired))};
  if (!isGitRepo(root)) return {{}, failure(std::string(kNoGitRepository))};
  return {std::move(root), std::nullopt};
}

PathspecList requestedPathspecs(const RunnerRequest& request, const std::string& root) {
  std::vector<std::string> requested;
  if (request.paths) {
    requested = *request.paths;
  } else if (request.path) {
    requested.push_back(*request.path);
  }
  if (requested.empty()) return {{}, failure(std::string(kPathsRequired))};

  PathspecList list;
  list.pathspecs.reserve(requested.size());
  for (const std::string& path : requested) {
    const auto authorized = authorize(path, root);
    if (!authorized) return {{}, failure(std::string(kPathOutsideWorkspace))};
    list.pathspecs.push_back(workspaceRelativePathspec(*authorized, root));
  }
  return list;
}

}  // namespace OmviAgentRunnerMain
