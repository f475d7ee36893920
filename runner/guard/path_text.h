// Path strings: the one standardisation used for roots, candidates and the isolation area.
//
// Owns: tilde expansion, lexical standardisation, joining, parent and last component.
// Never touches the file system, except that tilde expansion reads $HOME and the password
// database.
#pragma once

#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// "~" and "~/x" from $HOME (the password database when unset), "~user" and "~user/x" from the
/// password database. Any other text, or an unknown user, comes back unchanged.
[[nodiscard]] std::string expandTilde(std::string_view path);

/// Expands a leading tilde, collapses "//" and "." components, resolves ".." against the
/// component before it in an absolute path ("/.." is "/"), keeps ".." in a relative path and
/// drops a trailing "/". Purely lexical, and linear in the length of |path|. Samples:
/// "/a//b/./c/" -> "/a/b/c", "/a/b/.." -> "/a", "a/../b" -> "a/../b", "./x" -> "x", "." -> ".",
/// "" -> "".
[[nodiscard]] std::string standardizePath(std::string_view path);

/// standardizePath(appendingPathComponent(|base|, |component|)), without building the joined
/// text when |base| is absolute.
[[nodiscard]] std::string standardizedJoin(std::string_view base, std::string_view component);

/// True when one of |path|'s components is "..".
[[nodiscard]] bool holdsParentComponent(std::string_view path);

/// |base| and |component| joined by exactly one "/"; an empty |component| yields |base|.
[[nodiscard]] std::string appendingPathComponent(std::string_view base, std::string_view component);

/// "/a/b" -> "/a", "/a" -> "/", "/" -> "/", "a" -> "".
[[nodiscard]] std::string deletingLastPathComponent(std::string_view path);

/// The text after the last "/" of |path| without trailing "/" ("/a/b" -> "b", "/" -> "/").
[[nodiscard]] std::string lastPathComponent(std::string_view path);

/// |root| with one "/" appended unless it already ends with one: the prefix that every path
/// strictly below |root| begins with.
[[nodiscard]] std::string directoryPrefix(std::string_view root);

}  // namespace OmviAgentRunnerMain
