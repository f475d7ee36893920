// `authorize` on a real tree of directories and symbolic links pointing in, out, back in and
// in loops. The input chooses the form of the root and of $HOME, then gives the path text, in
// which "@R" stands for the root's absolute path, "@O" for the outside directory and "@P" for
// the directory holding both. Properties of every accepted path:
// - it is the root itself or lies below it as written, in standard form (absolute, no ".",
//   "..", empty or trailing component);
// - its nearest existing ancestor, resolved by the kernel (an O_PATH descriptor read back
//   through /proc/self/fd), is the kernel's resolution of the root or lies below it.
// The tree is never changed, so the run is reproducible.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "runner/guard/workspace.h"

namespace {

namespace fs = std::filesystem;
using namespace OmviAgentRunnerMain;

std::string gParent;  // holds ws/ (the workspace), outside/, ws2/ and wslink

void link(const std::string& target, const std::string& at) {
  fs::create_symlink(target, gParent + "/" + at);
}

void makeTree() {
  char pattern[] = "/tmp/omvi-authorize-fuzz-XXXXXX";
  FUZZ_CHECK(mkdtemp(pattern) != nullptr, "mkdtemp");
  gParent = fs::canonical(pattern).string();
  for (const char* directory : {"ws/sub/deep", "ws/.omvi/worktrees/t1", "outside/inner", "ws2"}) {
    fs::create_directories(gParent + "/" + directory);
  }
  for (const char* file : {"ws/file", "ws/sub/deep/f.txt", "outside/secret", "ws2/x"}) {
    std::FILE* created = std::fopen((gParent + "/" + file).c_str(), "w");
    FUZZ_CHECK(created != nullptr, "create %s", file);
    std::fclose(created);
  }
  const std::string ws = gParent + "/ws";
  link("sub", "ws/in");                                   // inside, relative
  link(ws + "/sub/deep", "ws/inabs");                     // inside, absolute
  link("in", "ws/chain");                                 // a link to a link inside
  link(".", "ws/here");                                   // the root itself
  link("..", "ws/up");                                    // the root's parent
  link("../ws/sub", "ws/upin");                           // out and back in
  link("../outside", "ws/out");                           // out, relative
  link(gParent + "/outside/secret", "ws/outabs");         // out, absolute, to a file
  link("../../../outside/inner", "ws/sub/deep/out3");     // out from depth three
  link("../../../outside", "ws/.omvi/worktrees/escape");  // out from the isolation area
  link("/", "ws/slash");                                  // the file system's root
  link("loop2", "ws/loop1");                              // a loop of two
  link("loop1", "ws/loop2");
  link("self", "ws/self");                    // a loop of one
  link("../outside/missing", "ws/dangling");  // dangling, pointing out
  link("nothere", "ws/danglingin");           // dangling, pointing in
  link("ws", "wslink");                       // the root reached through a link
  link("ws2", "ws3");
}

void removeTree() {
  std::error_code ignored;
  fs::remove_all(gParent, ignored);
}

std::string replaceAll(std::string text, std::string_view from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The kernel's real path for |path| (following links), or nothing when it does not resolve.
std::optional<std::string> kernelRealPath(const std::string& path) {
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[8192];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(proc.c_str(), buffer, sizeof buffer);
  close(fd);
  if (length <= 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(length));
}

bool sameOrBelow(const std::string& path, const std::string& root) {
  if (path == root) return true;
  const std::string prefix = root == "/" ? root : root + "/";
  return path.compare(0, prefix.size(), prefix) == 0;
}

bool standardForm(const std::string& path) {
  if (path.empty() || path.front() != '/') return false;
  if (path == "/") return true;
  if (path.back() == '/') return false;
  std::size_t start = 1;
  while (start <= path.size()) {
    const auto end = std::min(path.find('/', start), path.size());
    const std::string_view part(path.data() + start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  makeTree();
  std::atexit(removeTree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  omvi_fuzz::FuzzInput input(data, size);
  static const char* const kRoots[] = {"/ws",        "/wslink", "/ws/",
                                       "/ws/sub/..", "/ws/./",  "/wslink/sub"};
  static const char* const kHomes[] = {"/outside", "/ws/sub", "/ws", "/ws/out"};
  const std::string rootText = gParent + kRoots[input.byte() % std::size(kRoots)];
  setenv("HOME", (gParent + kHomes[input.byte() % std::size(kHomes)]).c_str(), 1);
  const std::string root = resolveRoot(rootText);

  std::string path = input.remainder();
  path = replaceAll(std::move(path), "@R", root);
  path = replaceAll(std::move(path), "@O", gParent + "/outside");
  path = replaceAll(std::move(path), "@P", gParent);

  const std::optional<std::string> accepted = authorize(path, root);
  if (!accepted) return 0;
  FUZZ_CHECK(sameOrBelow(*accepted, root), "%s accepted as %s, not under %s", path.c_str(),
             accepted->c_str(), root.c_str());
  FUZZ_CHECK(standardForm(*accepted), "%s accepted as %s", path.c_str(), accepted->c_str());

  const auto realRoot = kernelRealPath(root);
  FUZZ_CHECK(realRoot.has_value(), "root %s does not resolve", root.c_str());
  std::string probe = *accepted;
  std::optional<std::string> real = kernelRealPath(probe);
  while (!real) {
    probe = probe.substr(0, std::max<std::size_t>(probe.rfind('/'), 1));
    real = kernelRealPath(probe);
  }
  FUZZ_CHECK(sameOrBelow(*real, *realRoot),
             "%s accepted as %s; its existing part %s is really %s, outside %s", path.c_str(),
             accepted->c_str(), probe.c_str(), real->c_str(), realRoot->c_str());
  return 0;
}
