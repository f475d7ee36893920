// The workspace root and the confinement of every path a request names.
//
// Owns: `resolveRoot`, `authorize` and the file-system probes they rest on (existence
// through links, symbolic-link resolution, the nearest existing ancestor), and the
// workspace-relative pathspec.
// Never creates, changes or deletes anything; refusals are results, never errors. Every
// function here is linear in the length of the text it is given: a path of millions of
// components is judged with one pass over its text and one descriptor step per component that
// exists.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

inline constexpr std::string_view kWorkspaceRootRequired = "workspace_root is required";
inline constexpr std::string_view kPathOutsideWorkspace = "path_outside_workspace";

/// The request's `workspace_root` trimmed, tilde-expanded, made absolute against the runner's
/// working directory (read once, when first needed) and standardised; "" when absent or
/// blank. No link is resolved and existence is not tested. Only when the working directory
/// cannot be read does a relative root stay relative, and `authorize` then refuses every path.
[[nodiscard]] std::string resolveRoot(const std::optional<std::string>& workspaceRoot);

/// The standardised absolute path for |path| when it lies inside |workspaceRoot| (exactly as
/// `resolveRoot` returned it) both as written and through the symbolic links of its nearest
/// existing ancestor; nothing otherwise. Refused whatever the path: an empty or relative root,
/// a path holding NUL, a candidate that still holds ".." once standardised. The answer keeps
/// links as written: it is the lexical path, not the real one.
[[nodiscard]] std::optional<std::string> authorize(std::string_view path,
                                                   std::string_view workspaceRoot);

/// True when an entry exists at |path|, following symbolic links (a dangling link is absent).
[[nodiscard]] bool fileExists(const std::string& path);

/// The real path of |path| (every link of it resolved); the standardised text when it cannot
/// be resolved (it does not exist, or is not reachable).
[[nodiscard]] std::string resolvingSymlinks(const std::string& path);

/// The nearest existing entry of the standardised absolute |path|: the longest prefix of it
/// that exists, following links as `fileExists` does (a prefix of PATH_MAX bytes or more
/// counts as absent, as it would for stat), found by one descriptor step per existing
/// component from "/".
struct ExistingAncestor {
  std::size_t length = 0;           ///< of that prefix of |path| ("/" is 1)
  std::optional<std::string> real;  ///< its real path; nothing when it cannot be known
};
[[nodiscard]] ExistingAncestor nearestExistingAncestor(std::string_view path);

/// True when |path| equals |root| or lies below it, compared by whole components.
[[nodiscard]] bool isSameOrBelow(std::string_view path, std::string_view root);

/// The pathspec git is given for authorized |path|: relative to |root| (exactly as
/// `resolveRoot` returned it), "." for the root itself, else |path| unchanged.
[[nodiscard]] std::string workspaceRelativePathspec(std::string_view path, std::string_view root);

}  // namespace OmviAgentRunnerMain
