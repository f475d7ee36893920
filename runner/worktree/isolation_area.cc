#include "runner/worktree/isolation_area.h"

#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"

namespace OmviAgentRunnerMain {

std::string isolationArea(std::string_view primary) {
  return standardizePath(appendingPathComponent(primary, kIsolationAreaComponent));
}

bool isUnderIsolationArea(std::string_view candidate, std::string_view primary) {
  const std::string area = isolationArea(primary);
  const std::string standardized = standardizePath(candidate);
  return standardized == area || standardized.starts_with(directoryPrefix(area));
}

std::string displayForm(std::string_view path, std::string_view primary) {
  // Messages show a path the way git is given one: relative to the primary checkout.
  return workspaceRelativePathspec(path, primary);
}

}  // namespace OmviAgentRunnerMain
