// grep: ripgrep when installed, else git grep, run in the very directory that was checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "runner/files/confined_reach.h"
#include "runner/files/navigation.h"
#include "runner/guard/workspace.h"
#include "runner/process/git_invocation.h"
#include "runner/process/process.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

// The child's working directory: this process's descriptor of the checked directory, through
// /proc, so that no path is resolved again between the check and the child's start. Without
// /proc, the real path (a rename in between could then redirect the child).
std::string childDirectory(int fd, const std::string& fallback) {
  const std::string viaProc = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
  struct stat status {};
  return stat(viaProc.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? viaProc : fallback;
}

std::string lineText(std::string_view text) {
  if (text.ends_with('\r')) text.remove_suffix(1);
  if (text.size() <= kGrepLineTextCap) return std::string(text);
  std::size_t cut = kGrepLineTextCap;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return std::string(text.substr(0, cut));
}

// One line of output: "path\0line:text" (rg --null) or "path\0line\0text" (git grep -z).
std::optional<GrepMatch> parseLine(std::string_view line, char afterNumber) {
  const auto nul = line.find('\0');
  if (nul == std::string_view::npos) return std::nullopt;
  GrepMatch match;
  std::string_view file = line.substr(0, nul);
  if (file.starts_with("./")) file.remove_prefix(2);
  match.file = std::string(file);
  const std::string_view rest = line.substr(nul + 1);
  const auto [end, failed] = std::from_chars(rest.data(), rest.data() + rest.size(), match.line);
  if (failed != std::errc() || end == rest.data() + rest.size() || *end != afterNumber) {
    return std::nullopt;
  }
  match.text = lineText(rest.substr(static_cast<std::size_t>(end - rest.data()) + 1));
  return match;
}

}  // namespace

GrepResult grep(const std::string& workspaceRoot, const std::string& path,
                const std::string& pattern, const GrepOptions& options) {
  GrepResult result;
  result.path = path;
  if (pattern.empty()) {
    result.error = "pattern is required";
    return result;
  }
  const Target target = authorizeTarget(workspaceRoot, trimmed(path).empty() ? "." : path);
  if ((result.error = target.error)) return result;
  result.path = target.path;
  const Reached base = openConfined(target.root, target.path, O_DIRECTORY | O_RDONLY);
  if (base.error != 0) {
    result.error = base.error == ENOTDIR ? "not_a_directory: " + target.path
                                         : describeFailure("grep_failed", target.path, base.error);
    return result;
  }
  const std::string directory = childDirectory(base.fd.get(), resolvingSymlinks(target.path));

  const bool haveRipgrep = isExecutableFile(options.ripgrepExecutable);
  bool useRipgrep = options.engine == GrepEngine::kRipgrep ||
                    (options.engine == GrepEngine::kAuto && haveRipgrep);
  if (useRipgrep && !haveRipgrep) {
    result.error = "grep_unavailable: ripgrep is not installed at " + options.ripgrepExecutable;
    return result;
  }
  if (!useRipgrep && !isGitRepo(directory)) {
    result.error = "grep_unavailable: ripgrep (rg) is not installed and " + target.path +
                   " is not inside a git repository";
    return result;
  }

  RunnerResponse run;
  if (useRipgrep) {
    result.engine = "rg";
    std::vector<std::string> args = {
        "--no-config", "--line-number", "--with-filename",    "--no-heading",
        "--null",      "--color=never", "--max-columns=1000", "--max-columns-preview"};
    if (options.ignoreCase) args.emplace_back("--ignore-case");
    if (options.include) args.push_back("--glob=" + *options.include);
    args.push_back("--regexp=" + pattern);
    args.insert(args.end(), {"--", "."});
    run = runProcess(options.ripgrepExecutable, std::move(args), directory, options.timeout,
                     InvalidText::kReplace);
  } else {
    result.engine = "git grep";
    std::vector<std::string> args = {"grep",       "--line-number",     "-z",         "-I",
                                     "--no-color", "--extended-regexp", "--untracked"};
    if (options.ignoreCase) args.emplace_back("--ignore-case");
    args.insert(args.end(), {"-e", pattern, "--"});
    // Glob magic from the start, so that the include can never carry magic of its own.
    if (options.include) {
      args.push_back(":(glob)" +
                     std::string(options.include->find('/') == std::string::npos ? "**/" : "") +
                     *options.include);
    }
    run = runGit(std::move(args), directory, options.timeout, InvalidText::kReplace);
  }

  // 0: matches; 1: none; rg 2 / git 128: an error, possibly after some matches.
  const int status = run.exitStatus.value_or(-1);
  if (!run.exitStatus) {
    result.error = run.error.value_or("grep_failed");
    return result;
  }
  const std::string& out = run.stdoutText.value_or("");
  const std::string& err = run.stderrText.value_or("");
  if (status == 1 && out.empty()) return result;
  if (status != 0 && out.empty()) {
    const std::string firstLine = err.substr(0, err.find('\n'));
    result.error =
        "grep_failed: " + (firstLine.empty() ? "exit_" + std::to_string(status) : firstLine);
    return result;
  }
  const std::string prefix = workspaceRelativePathspec(target.path, target.root);
  std::string_view rest = out;
  while (!rest.empty()) {
    const auto lineFeed = rest.find('\n');
    if (lineFeed == std::string_view::npos) {
      result.truncated = true;  // cut by the output cap
      break;
    }
    if (result.matches.size() >= options.maxMatches) {
      result.truncated = true;
      break;
    }
    if (auto match = parseLine(rest.substr(0, lineFeed), useRipgrep ? ':' : '\0')) {
      if (prefix != ".") match->file = prefix + "/" + match->file;
      result.matches.push_back(std::move(*match));
    }
    rest.remove_prefix(lineFeed + 1);
  }
  if (graphemeCount(out) >= kStdoutCap) result.truncated = true;
  if (result.truncated) {
    result.note = "stopped after " + std::to_string(result.matches.size()) +
                  " matches; narrow the pattern, the path or the include glob";
  }
  if (status != 0) {
    const std::string firstLine = err.substr(0, err.find('\n'));
    result.note = result.note.value_or("") + (result.note ? "; " : "") +
                  "some files could not be searched: " + firstLine;
  }
  return result;
}

}  // namespace OmviAgentRunnerMain
