// move_file, edit_file and the unified diff the edits answer.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "runner/files/confined_fs.h"
#include "runner/files/confined_reach.h"
#include "runner/files/navigation.h"
#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::size_t kContext = 3;
// Beyond this many differences the diff stops looking for the shortest script and replaces
// the changed middle whole: still a correct diff, in bounded memory (the trace grows as D^2).
constexpr std::size_t kMaxDifferences = 2000;

// The lines of |text|, each with its line feed (the last may lack one).
std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto lineFeed = text.find('\n');
    const std::size_t length = lineFeed == std::string_view::npos ? text.size() : lineFeed + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

struct DiffLine {
  char tag;  // ' ', '-', '+'
  std::string_view line;
};

// The shortest edit script from |a| to |b| (Myers, "An O(ND) difference algorithm"), or a
// whole replacement past kMaxDifferences.
std::vector<DiffLine> editScript(const std::vector<std::string_view>& a,
                                 const std::vector<std::string_view>& b) {
  const auto n = static_cast<std::ptrdiff_t>(a.size());
  const auto m = static_cast<std::ptrdiff_t>(b.size());
  const std::ptrdiff_t max = n + m;
  std::vector<std::ptrdiff_t> v(static_cast<std::size_t>(2 * max + 3), 0);
  const auto at = [&](std::vector<std::ptrdiff_t>& values, std::ptrdiff_t k) -> std::ptrdiff_t& {
    return values[static_cast<std::size_t>(k + max + 1)];
  };
  // trace[d]: the furthest x of each diagonal k in [-d-1, d+1] before step d.
  std::vector<std::vector<std::ptrdiff_t>> trace;
  std::ptrdiff_t found = -1;
  for (std::ptrdiff_t d = 0; d <= max && found < 0; ++d) {
    if (static_cast<std::size_t>(d) > kMaxDifferences) break;
    trace.emplace_back(v.begin() + (max + 1 - d - 1), v.begin() + (max + 1 + d + 2));
    for (std::ptrdiff_t k = -d; k <= d; k += 2) {
      std::ptrdiff_t x =
          (k == -d || (k != d && at(v, k - 1) < at(v, k + 1))) ? at(v, k + 1) : at(v, k - 1) + 1;
      std::ptrdiff_t y = x - k;
      while (x < n && y < m && a[static_cast<std::size_t>(x)] == b[static_cast<std::size_t>(y)]) {
        ++x;
        ++y;
      }
      at(v, k) = x;
      if (x >= n && y >= m) {
        found = d;
        break;
      }
    }
  }
  std::vector<DiffLine> script;
  if (found < 0) {
    for (const auto line : a)
      script.push_back({'-', line});
    for (const auto line : b)
      script.push_back({'+', line});
    return script;
  }
  std::ptrdiff_t x = n;
  std::ptrdiff_t y = m;
  for (std::ptrdiff_t d = found; d >= 0; --d) {
    const auto& before = trace[static_cast<std::size_t>(d)];
    const auto was = [&](std::ptrdiff_t k) { return before[static_cast<std::size_t>(k + d + 1)]; };
    const std::ptrdiff_t k = x - y;
    const std::ptrdiff_t previousK =
        (k == -d || (k != d && was(k - 1) < was(k + 1))) ? k + 1 : k - 1;
    const std::ptrdiff_t previousX = d == 0 ? 0 : was(previousK);
    const std::ptrdiff_t previousY = d == 0 ? 0 : previousX - previousK;
    while (x > previousX && y > previousY) {
      script.push_back({' ', a[static_cast<std::size_t>(--x)]});
      --y;
    }
    if (d > 0) {
      if (x == previousX) {
        script.push_back({'+', b[static_cast<std::size_t>(--y)]});
      } else {
        script.push_back({'-', a[static_cast<std::size_t>(--x)]});
      }
    }
  }
  std::reverse(script.begin(), script.end());
  return script;
}

std::string range(std::size_t start, std::size_t count) {
  if (count == 1) return std::to_string(start);
  return std::to_string(count == 0 ? start - 1 : start) + "," + std::to_string(count);
}

}  // namespace

std::string unifiedDiff(const std::string& before, const std::string& after,
                        const std::string& label) {
  // Hand-written: a diff library is not among the project's dependencies, and git's would
  // need a child and files on disk for text that is only in memory.
  const auto a = splitLines(before);
  const auto b = splitLines(after);
  std::size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
    ++prefix;
  std::size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  if (prefix == a.size() && prefix == b.size()) return "";
  std::vector<DiffLine> script;
  for (std::size_t i = 0; i < prefix; ++i)
    script.push_back({' ', a[i]});
  const auto middle = editScript({a.begin() + static_cast<std::ptrdiff_t>(prefix),
                                  a.end() - static_cast<std::ptrdiff_t>(suffix)},
                                 {b.begin() + static_cast<std::ptrdiff_t>(prefix),
                                  b.end() - static_cast<std::ptrdiff_t>(suffix)});
  script.insert(script.end(), middle.begin(), middle.end());
  for (std::size_t i = a.size() - suffix; i < a.size(); ++i)
    script.push_back({' ', a[i]});

  std::string out = "--- a/" + label + "\n+++ b/" + label + "\n";
  std::size_t i = 0;
  std::size_t oldLine = 1;  // the line of |a| at script[i]
  std::size_t newLine = 1;
  while (i < script.size()) {
    // The next change, and the context before it.
    std::size_t change = i;
    while (change < script.size() && script[change].tag == ' ')
      ++change;
    if (change == script.size()) break;
    const std::size_t start = change - std::min(kContext, change - i);
    oldLine += start - i;
    newLine += start - i;
    // Take changes while the equal run between them is short enough to share context.
    std::size_t end = change;
    while (true) {
      while (end < script.size() && script[end].tag != ' ')
        ++end;
      std::size_t next = end;
      while (next < script.size() && script[next].tag == ' ')
        ++next;
      if (next == script.size() || next - end > 2 * kContext) break;
      end = next;
    }
    end = std::min(script.size(), end + kContext);
    std::size_t oldCount = 0;
    std::size_t newCount = 0;
    for (std::size_t j = start; j < end; ++j) {
      oldCount += script[j].tag != '+' ? 1 : 0;
      newCount += script[j].tag != '-' ? 1 : 0;
    }
    out += "@@ -" + range(oldLine, oldCount) + " +" + range(newLine, newCount) + " @@\n";
    for (std::size_t j = start; j < end; ++j) {
      out.push_back(script[j].tag);
      out.append(script[j].line);
      if (!script[j].line.ends_with('\n')) out += "\n\\ No newline at end of file\n";
    }
    oldLine += oldCount;
    newLine += newCount;
    i = end;
  }
  return out;
}

MoveResult moveFile(const std::string& workspaceRoot, const std::string& source,
                    const std::string& destination) {
  MoveResult result{std::nullopt, source, destination};
  if (trimmed(source).empty() || trimmed(destination).empty()) {
    result.error = "source and destination are required";
    return result;
  }
  const Target from = authorizeTarget(workspaceRoot, source);
  const Target to = authorizeTarget(workspaceRoot, destination);
  if (from.error || to.error) {
    result.error = std::string(kPathOutsideWorkspace);
    return result;
  }
  result.source = from.path;
  result.destination = to.path;
  if (from.path == standardizePath(from.root)) {
    result.error = "invalid_argument: the workspace root cannot be moved";
    return result;
  }
  const Reached fromParent = reachParent(from.root, from.path);
  if (fromParent.error != 0) {
    result.error = describeFailure("move_failed", from.path, fromParent.error);
    return result;
  }
  const Reached toParent = reachParent(to.root, to.path);
  if (toParent.error != 0) {
    result.error =
        toParent.error == ENOENT
            ? "not_found: " + deletingLastPathComponent(to.path) + " (the destination's directory)"
            : describeFailure("move_failed", to.path, toParent.error);
    return result;
  }
  if (renameat2(fromParent.fd.get(), fromParent.leaf.c_str(), toParent.fd.get(),
                toParent.leaf.c_str(), RENAME_NOREPLACE) != 0) {
    const int error = errno;
    result.error = error == EEXIST ? "destination_exists: " + to.path + " is already there"
                                   : describeFailure("move_failed", from.path, error);
  }
  return result;
}

EditFileResult editFile(const std::string& workspaceRoot, const std::string& path,
                        const std::vector<TextEdit>& edits, const EditFileOptions& options) {
  EditFileResult result;
  result.path = path;
  if (trimmed(path).empty()) {
    result.error = "path is required";
    return result;
  }
  if (edits.empty()) {
    result.error = "edits are required";
    return result;
  }
  const Target target = authorizeTarget(workspaceRoot, path);
  if ((result.error = target.error)) return result;
  result.path = target.path;

  const ReachedFile file = openRegularConfined(target.root, target.path);
  if (file.error != 0) {
    result.error = describeFailure("read_failed", target.path, file.error);
    return result;
  }
  const struct stat& status = file.status;
  if (!S_ISREG(status.st_mode)) {
    result.error = "not_a_file: " + target.path;
    return result;
  }
  if (static_cast<std::uint64_t>(status.st_size) > options.maxBytes) {
    result.error = "too_large: " + target.path + " has " + std::to_string(status.st_size) +
                   " bytes, over the edit ceiling of " + std::to_string(options.maxBytes);
    return result;
  }
  ReadBack read = readAt(file.fd.get(), 0, static_cast<std::size_t>(status.st_size) + 1);
  if (read.error != 0 || read.bytes.size() != static_cast<std::size_t>(status.st_size)) {
    result.error = read.error != 0 ? describeFailure("read_failed", target.path, read.error)
                                   : "edit_failed: " + target.path + " changed while it was read";
    return result;
  }

  std::string text = read.bytes;
  for (std::size_t i = 0; i < edits.size(); ++i) {
    const std::string name = "edit_failed: edit " + std::to_string(i + 1) + ": ";
    const TextEdit& edit = edits[i];
    if (edit.oldText.empty()) {
      result.error = name + "the old text is empty";
      return result;
    }
    const auto at = text.find(edit.oldText);
    if (at == std::string::npos) {
      result.error = name + "the old text was not found";
      return result;
    }
    if (text.find(edit.oldText, at + 1) != std::string::npos) {
      result.error =
          name + "the old text occurs more than once; include more of the lines around it";
      return result;
    }
    text.replace(at, edit.oldText.size(), edit.newText);
  }
  result.diff = unifiedDiff(read.bytes, text, workspaceRelativePathspec(target.path, target.root));
  if (options.dryRun) return result;

  // The real file's directory: an in-root link is edited at its target, as it was read.
  const Reached parent = reachParent(target.root, resolvingSymlinks(target.path));
  struct stat now {};
  if (parent.error == 0 &&
      (fstatat(parent.fd.get(), parent.leaf.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
       now.st_dev != status.st_dev || now.st_ino != status.st_ino ||
       now.st_mtim.tv_sec != status.st_mtim.tv_sec ||
       now.st_mtim.tv_nsec != status.st_mtim.tv_nsec)) {
    result.error = "edit_failed: " + target.path + " changed during the edit; read it again";
    return result;
  }
  const int error =
      parent.error != 0 ? parent.error : replaceEntryAt(parent.fd.get(), parent.leaf, text);
  if (error != 0) {
    result.error = describeFailure("write_failed", target.path, error);
    return result;
  }
  result.written = true;
  result.writtenBytes = static_cast<std::int64_t>(text.size());
  return result;
}

}  // namespace OmviAgentRunnerMain
