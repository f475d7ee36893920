#include "runner/files/patch.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>

#include "runner/files/confined_fs.h"
#include "runner/files/diff_headers.h"
#include "runner/git/repository.h"
#include "runner/guard/path_text.h"
#include "runner/guard/workspace.h"
#include "runner/posix.h"
#include "runner/process/git_invocation.h"
#include "runner/process/time_limit.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::string_view kNewFilePrefix = "+++ ";
constexpr std::string_view kNewFileInB = "+++ b/";
constexpr std::string_view kDeletedFile = "+++ /dev/null";
constexpr double kPrefixProbeTimeout = 5;

// The path a line names when it is a new-file line.
std::optional<std::string_view> newFilePath(std::string_view line) {
  if (line.starts_with(kNewFileInB)) return line.substr(kNewFileInB.size());
  if (line.starts_with(kNewFilePrefix) && !line.starts_with(kDeletedFile))
    return line.substr(kNewFilePrefix.size());
  return std::nullopt;
}

// |paths| unique and sorted by canonical composition; of equal ones the first is kept.
std::vector<std::string> sortedUnique(std::vector<std::string> paths) {
  struct Found {
    std::string key;  // canonical composition, the sort and uniqueness key
    std::string path;
  };
  std::vector<Found> found;
  for (std::string& path : paths) {
    std::string key = canonicalComposition(path).value_or(path);
    found.push_back({std::move(key), std::move(path)});
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return a.key < b.key; });
  paths.clear();
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (i > 0 && found[i].key == found[i - 1].key) continue;
    paths.push_back(std::move(found[i].path));
  }
  return paths;
}

// Where git apply started in |root| stands below the checkout's top level: "" at the top
// level, else the path ending in "/"; nothing when git cannot say.
std::optional<std::string> topLevelPrefix(const std::string& root) {
  const RunnerResponse probe = runGit({"rev-parse", "--show-prefix"}, root, kPrefixProbeTimeout);
  if (!probe.ok || !probe.stdoutText || !probe.stdoutText->ends_with('\n')) return std::nullopt;
  return probe.stdoutText->substr(0, probe.stdoutText->size() - 1);
}

// True when |header|, read as git reads it with its working directory at |root| (|prefix|
// below the top level), lies inside |root|.
bool liesInRoot(const HeaderName& header, std::string_view prefix, const std::string& root) {
  const bool fromTopLevel =
      prefix.empty() ? authorize(header.name, root).has_value()
                     : header.name.starts_with(prefix) && header.name.size() > prefix.size() &&
                           authorize(header.name.substr(prefix.size()), root).has_value();
  switch (header.base) {
    case NameBase::kTopLevel:
      return fromTopLevel;
    case NameBase::kWorkingDirectory:
      return authorize(header.name, root).has_value();
    case NameBase::kEither:
      return fromTopLevel && authorize(header.name, root).has_value();
  }
  return false;
}

}  // namespace

std::vector<std::string> diffPaths(std::string_view diffText) {
  std::vector<std::string> found;
  std::size_t start = 0;
  for (std::size_t at = 0; at <= diffText.size(); ++at) {
    // A line feed right after a carriage return is half of one CR LF character: no line end.
    const bool lineEnd =
        at == diffText.size() || (diffText[at] == '\n' && (at == 0 || diffText[at - 1] != '\r'));
    if (!lineEnd) continue;
    if (const auto path = newFilePath(diffText.substr(start, at - start)))
      found.emplace_back(*path);
    start = at + 1;
  }
  return sortedUnique(std::move(found));
}

std::string temporaryDiffName() {
  unsigned char uuid[16];
  randomBytes(uuid, sizeof uuid);
  uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0F) | 0x40);  // version 4
  uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name = ".omvi-agent-runner-";
  for (std::size_t i = 0; i < sizeof uuid; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) name.push_back('-');
    name.push_back(kHex[uuid[i] >> 4]);
    name.push_back(kHex[uuid[i] & 0x0F]);
  }
  return name + ".diff";
}

RunnerResponse applyDiff(const RunnerRequest& request) {
  const std::string_view diff = request.diff ? std::string_view(*request.diff) : "";
  if (trimmed(diff).empty()) return failure("diff is required");
  std::string text(diff);
  if (text.back() != '\n') text.push_back('\n');

  const RepositoryCheck repository = requireRepository(request);
  if (repository.refusal) return *repository.refusal;
  std::vector<std::string> paths = diffPaths(text);
  bool confined = std::all_of(paths.begin(), paths.end(), [&](const std::string& path) {
    return authorize(path, repository.root).has_value();
  });
  // Git reads the names of every header (renames and copies too) from the checkout's top
  // level, not from the root: each must lie in the root the way git will read it.
  const std::optional<std::string> prefix = topLevelPrefix(repository.root);
  HeaderNames headers = diffHeaderNames(text, prefix.value_or(""));
  confined = confined && prefix && headers.confident &&
             std::all_of(headers.names.begin(), headers.names.end(), [&](const HeaderName& h) {
               return liesInRoot(h, *prefix, repository.root);
             });
  if (!confined) {
    for (HeaderName& header : headers.names)
      paths.push_back(std::move(header.name));
    return failure(std::string(kPathOutsideWorkspace),
                   {.affectedPaths = sortedUnique(std::move(paths))});
  }

  const std::string temporary = appendingPathComponent(repository.root, temporaryDiffName());
  if (auto error = writeFileAtomically(repository.root, temporary, text, Durability::kVolatile))
    return failure("diff_temp_write_failed: " + *error);
  const bool check = request.dryRun.value_or(false);
  std::vector<std::string> args{"apply"};
  if (check) args.emplace_back("--check");
  args.push_back(temporary);
  const RunnerResponse run =
      runGit(std::move(args), repository.root, timeLimit(request.timeout, kGitTimeLimit));
  // Git has ended (or been given up on) by now, whatever its outcome: the copy goes.
  (void)removeEntry(repository.root, temporary);

  if (!run.ok) {
    return failure(
        firstNonBlank({&run.stderrText, &run.stdoutText, &run.error}).value_or("git apply failed"),
        {.stdoutText = run.stdoutText,
         .stderrText = run.stderrText,
         .exitStatus = run.exitStatus,
         .affectedPaths = std::move(paths)});
  }
  std::string message = check ? "Diff is valid" : "Diff applied";
  if (const auto detail = firstNonBlank({&run.stderrText, &run.stdoutText}))
    message += ": " + *detail;
  // cppcheck-suppress accessMoved ; the move above is on a path that has returned
  return success({.affectedPaths = std::move(paths),
                  .message = std::move(message),
                  .stdoutText = run.stdoutText,
                  .stderrText = run.stderrText,
                  .exitStatus = run.exitStatus});
}

}  // namespace OmviAgentRunnerMain
