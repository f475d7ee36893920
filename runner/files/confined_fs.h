// File-system actions on authorized paths, carried out through directory descriptors.
//
// `authorize` decides with path strings; these actions then reach their target from a
// descriptor of the real workspace root, refusing to follow any symbolic link on the way, so
// that a directory swapped for a link between the check and the use cannot carry them
// outside. A target that `authorize` accepted through an in-root link is first resolved to
// its real place, so in-root links keep working. No walk here ever takes a ".." step, with
// openat2 or without it.
//
// Owns: reaching a target's directory, the durable atomic write, directory creation and tree
// removal. Does not own: which path is allowed (workspace.h) or the response texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// The description of a failed action; nothing on success.
using FsError = std::optional<std::string>;

/// Whether a write must reach the disk before it counts as done.
enum class Durability {
  kSynced,    ///< fsync before the rename: a crash never leaves a half-written file
  kVolatile,  ///< no fsync: for files that live only as long as the request
};

/// Writes |content| to |path| (authorized against |root|), creating missing parent
/// directories: a temporary file beside the target, every byte, fsync (kSynced), then a rename
/// over the target. A file replaced keeps its permission bits (a link's real target's, when
/// written through a link); a new file gets 0666 less the umask. The workspace root itself (or
/// a link to it) is never a target: that write fails before anything is created, so nothing
/// ever appears outside the root. A failed write leaves no temporary file behind. A symbolic
/// link at |path| is written through, to its real target.
[[nodiscard]] FsError writeFileAtomically(const std::string& root, const std::string& path,
                                          std::string_view content,
                                          Durability durability = Durability::kSynced);

/// Replaces the entry |leaf| of the open directory |directory| with a file holding |content|,
/// as `writeFileAtomically` does once it has reached the target's directory: a temporary file
/// beside it, the replaced file's permission bits kept, a rename over it. Answers errno, 0 on
/// success; the temporary file never stays.
[[nodiscard]] int replaceEntryAt(int directory, const std::string& leaf, std::string_view content,
                                 Durability durability = Durability::kSynced);

/// Creates the directory |path| (authorized against |root|) and every missing parent below
/// the root. Succeeds without change when it already exists. The root itself is never made:
/// naming it succeeds only when it is an existing directory.
[[nodiscard]] FsError makeDirectories(const std::string& root, const std::string& path);

/// Removes the entry at |path| (authorized against |root|): a file, a symbolic link (never
/// its target) or a directory tree, whose inner links are removed, never followed. Nothing
/// happens when no entry exists there (a dangling link counts as none and stays). Works at any
/// depth with three descriptors at most and memory in proportion to the tree's names; stops
/// with a failure, touching nothing more, when a directory is moved out from under it.
[[nodiscard]] FsError removeEntry(const std::string& root, const std::string& path);

/// Removes the entry |name| of the open directory |parent| as `removeEntry` does once it has
/// reached it; |path| names it in failures.
[[nodiscard]] FsError removeEntryAt(int parent, const std::string& name, const std::string& path);

}  // namespace OmviAgentRunnerMain
