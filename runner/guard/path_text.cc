#include "runner/guard/path_text.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace OmviAgentRunnerMain {
namespace {

std::string homeOfUser(const std::string& user) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  while (true) {
    const int error = user.empty()
                          ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                          : getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1U << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    break;
  }
  if (found == nullptr || found->pw_dir == nullptr) return {};
  return found->pw_dir;
}

// Appends the standard form of |path|'s components to |out|, which holds a standard text
// without its trailing "/" ("" standing for "/" when |absolute|). One byte loop, copying each
// component as it is read and taking it back when it is "." or "..": a ".." in an absolute
// path also takes back the component before it. Every byte is copied and taken back at most
// once, so a text of millions of components costs one pass.
void appendStandardComponents(std::string& out, std::string_view path, bool absolute) {
  std::size_t length = out.size();
  out.resize(length + path.size() + 1);
  for (std::size_t at = 0; at < path.size();) {
    if (path[at] == '/') {
      ++at;
      continue;
    }
    const std::size_t mark = length;
    if (length > 0 || absolute) out[length++] = '/';
    const std::size_t begin = length;
    while (at < path.size() && path[at] != '/')
      out[length++] = path[at++];
    const std::size_t size = length - begin;
    if (size == 1 && out[begin] == '.') {
      length = mark;
    } else if (size == 2 && out[begin] == '.' && out[begin + 1] == '.' && absolute) {
      length = mark;
      while (length > 0 && out[length - 1] != '/')
        --length;
      if (length > 0) --length;
    }
  }
  out.resize(length);
}

}  // namespace

std::string expandTilde(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::string(path);
  const auto slash = path.find('/');
  const std::string user(
      path.substr(1, slash == std::string_view::npos ? path.size() - 1 : slash - 1));
  std::string home;
  if (user.empty()) {
    const char* variable = std::getenv("HOME");
    home = variable != nullptr && *variable != '\0' ? variable : homeOfUser({});
  } else {
    home = homeOfUser(user);
  }
  if (home.empty()) return std::string(path);
  if (slash == std::string_view::npos) return home;
  return home + std::string(path.substr(slash));
}

std::string standardizePath(std::string_view path) {
  // Only a leading tilde needs a new text; anything else is read where it lies.
  std::string expanded;
  if (!path.empty() && path.front() == '~') {
    expanded = expandTilde(path);
    path = expanded;
  }
  if (path.empty()) return {};
  const bool absolute = path.front() == '/';
  std::string out;
  appendStandardComponents(out, path, absolute);
  if (out.empty()) return absolute ? "/" : ".";
  return out;
}

std::string standardizedJoin(std::string_view base, std::string_view component) {
  if (base.empty() || base.front() != '/')
    return standardizePath(appendingPathComponent(base, component));
  std::string out = standardizePath(base);
  if (out == "/") out.clear();
  appendStandardComponents(out, component, /*absolute=*/true);
  if (out.empty()) return "/";
  return out;
}

bool holdsParentComponent(std::string_view path) {
  for (auto at = path.find(".."); at != std::string_view::npos; at = path.find("..", at + 2)) {
    const bool starts = at == 0 || path[at - 1] == '/';
    const bool ends = at + 2 == path.size() || path[at + 2] == '/';
    if (starts && ends) return true;
  }
  return false;
}

std::string appendingPathComponent(std::string_view base, std::string_view component) {
  if (component.empty()) return std::string(base);
  if (base.empty()) return std::string(component);
  std::string out(base);
  while (out.size() > 1 && out.back() == '/')
    out.pop_back();
  while (!component.empty() && component.front() == '/')
    component.remove_prefix(1);
  if (out != "/") out.push_back('/');
  out.append(component);
  return out;
}

std::string deletingLastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  if (path == "/") return "/";
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string directoryPrefix(std::string_view root) {
  std::string prefix(root);
  if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');
  return prefix;
}

}  // namespace OmviAgentRunnerMain
