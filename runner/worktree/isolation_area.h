// The isolation area: the one directory of the primary checkout where task worktrees live.
//
// Owns: where the area lies (".omvi/worktrees" under the primary checkout), the textual test
// of whether a path is inside it, and the short form in which paths appear in messages.
// Does not own: confinement to the workspace (workspace.h), which always comes first.
#pragma once

#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// The area's place, relative to the primary checkout.
inline constexpr std::string_view kIsolationAreaComponent = ".omvi/worktrees";

/// |primary| joined with `kIsolationAreaComponent`, standardised.
[[nodiscard]] std::string isolationArea(std::string_view primary);

/// True when |candidate|, standardised, is the isolation area of |primary| or lies below it,
/// compared by whole components and case included (".omvi/worktreesX" and ".omvi" are
/// outside). Texts only: nothing has to exist and git is not asked.
[[nodiscard]] bool isUnderIsolationArea(std::string_view candidate, std::string_view primary);

/// |path| as messages show it: the rest after "|primary|/" when it lies below the primary
/// checkout, "." for the primary checkout itself, otherwise unchanged.
[[nodiscard]] std::string displayForm(std::string_view path, std::string_view primary);

}  // namespace OmviAgentRunnerMain
