// Branch and remote names, checked before they reach git as arguments.
//
// Owns: the character sets and rules that keep a name from being read as an option, from
// climbing paths, or from carrying characters outside a small set. Git judges the rest.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

inline constexpr std::string_view kInvalidBranch = "invalid_branch";
inline constexpr std::string_view kInvalidRemote = "invalid_remote";
inline constexpr std::string_view kInvalidBaseBranch = "invalid_base_branch";

/// The trimmed name when it is a usable branch name: not empty, not starting with "-" or ".",
/// free of "..", "//", "\", NUL and space, made of letters, marks, numbers and "/_-.+@", and
/// shorter than 256 user-perceived characters. Nothing otherwise. Pure.
[[nodiscard]] std::optional<std::string> validateBranchName(std::string_view name);

/// The trimmed name when it is a usable remote name: not empty, not starting with "-", free of
/// "..", "/", "\" and space, made of letters, marks, numbers and "._-". Nothing otherwise. Pure.
[[nodiscard]] std::optional<std::string> validateRemoteName(std::string_view name);

}  // namespace OmviAgentRunnerMain
