// Reaching an authorized path from a descriptor of the real workspace root, for the reading
// and navigation tools.
//
// The path string was judged by `authorize`; its in-root links are resolved to their real
// place once, and the real place is then opened beneath the real root with no symbolic link
// followed (openat2 RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS, or one
// O_NOFOLLOW component at a time without openat2). A link that appears after the check makes
// the open fail instead of leading outside.
//
// Owns: those opens and the errno-to-text mapping of the navigation tools. Does not own:
// which paths are allowed (workspace.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

#include "runner/files/navigation.h"
#include "runner/posix.h"

namespace OmviAgentRunnerMain {

/// A descriptor reached, or the errno that stopped it (EXDEV: the real place lies outside).
struct Reached {
  UniqueFd fd;
  std::string leaf;  ///< `reachParent`: the name of the entry in |fd| ("." for the root)
  int error = 0;
};

/// Opens |path| (authorized against |root|, as `resolveRoot` gave it) with |flags| (O_CLOEXEC
/// is added), in-root links followed up to and including the last component.
[[nodiscard]] Reached openConfined(const std::string& root, const std::string& path, int flags);

/// A regular file opened for reading, or its type when it is not one.
struct ReachedFile {
  UniqueFd fd;         ///< open only when |status| is a regular file's
  struct stat status;  ///< of the entry reached (links followed), when |error| is 0
  int error = 0;
};

/// Opens |path| as `openConfined` does, for reading, only if it is a regular file: its type
/// is judged on a descriptor that opens nothing (O_PATH), so a device or FIFO in the tree is
/// never opened.
[[nodiscard]] ReachedFile openRegularConfined(const std::string& root, const std::string& path);

/// Opens the directory holding |path| (its in-root links followed) and names the last
/// component, which is not followed. The root itself is answered as the root and ".".
[[nodiscard]] Reached reachParent(const std::string& root, const std::string& path);

/// The root as `resolveRoot` gives it and |path| as `authorize` accepts it; `error` holds
/// "path_outside_workspace" when refused.
struct Target {
  std::string root;
  std::string path;
  std::optional<std::string> error;
};
[[nodiscard]] Target authorizeTarget(const std::string& workspaceRoot, const std::string& path);

/// Up to |size| bytes of |fd| from |offset| (fewer at its end), or the errno that stopped them.
struct ReadBack {
  std::string bytes;
  int error = 0;
};
[[nodiscard]] ReadBack readAt(int fd, off_t offset, std::size_t size);

/// The entry type of an lstat mode.
[[nodiscard]] EntryType entryTypeOf(mode_t mode);

/// The error text for |error| met at |path|: "path_outside_workspace" (EXDEV), "not_found:
/// <path>", otherwise |code| + ": " + <path> + ": " + the errno text.
[[nodiscard]] std::string describeFailure(const std::string& code, const std::string& path,
                                          int error);

}  // namespace OmviAgentRunnerMain
