// What a git operation on the primary checkout settles before git runs for it.
//
// Owns: the workspace root and repository checks, in that order, and turning the request's
// `paths` (or `path`) into workspace-relative pathspecs, each confined to the root.
// Does not own: the confinement rule itself or the pathspec rule (workspace.h).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

inline constexpr std::string_view kPathsRequired = "paths are required";

/// The resolved root, or the refusal to answer ("workspace_root is required", then "No git
/// repository found").
struct RepositoryCheck {
  std::string root;
  std::optional<RunnerResponse> refusal;
};

[[nodiscard]] RepositoryCheck requireRepository(const RunnerRequest& request);

/// One pathspec per requested path, in request order, duplicates kept; or the refusal.
struct PathspecList {
  std::vector<std::string> pathspecs;
  std::optional<RunnerResponse> refusal;
};

/// Takes `paths`, or `path` as a list of one when `paths` is absent (a present but empty
/// `paths` is not replaced). An empty list is "paths are required"; the first entry that
/// `authorize` refuses ends it with "path_outside_workspace". |root| is `resolveRoot`'s.
[[nodiscard]] PathspecList requestedPathspecs(const RunnerRequest& request,
                                              const std::string& root);

}  // namespace OmviAgentRunnerMain
