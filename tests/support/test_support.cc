#include "tests/support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <simdjson.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace omvi_test {

TempDir::TempDir(const std::string& parent) {
  std::string pattern =
      ((parent.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(parent)) /
       "omvi-test-XXXXXX")
          .string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(pattern).string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Directories a test made unreadable must become removable again.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::operator/(const std::string& relative) const {
  return path_ + "/" + relative;
}

pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err,
            const std::map<std::string, std::string>& environment, const std::string& directory) {
  // env(1) puts |environment| over this process's own, then executes the program in place.
  std::vector<std::string> command{"env"};
  for (const auto& [key, value] : environment)
    command.push_back(key + "=" + value);
  command.insert(command.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (const auto& arg : command)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int fds[] = {in, out, err};
  for (int target = 0; target < 3; ++target) {
    if (fds[target] < 0) {
      posix_spawn_file_actions_addclose(&actions, target);
    } else {
      posix_spawn_file_actions_adddup2(&actions, fds[target], target);
    }
  }
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("could not start " + argv[0]);
  return pid;
}

int exitStatus(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

std::string contents(int fd) {
  std::ifstream file("/proc/self/fd/" + std::to_string(fd), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

Completed run(const std::vector<std::string>& argv, const std::optional<std::string>& input,
              const std::map<std::string, std::string>& environment, const std::string& directory) {
  const int out = memfd_create("out", MFD_CLOEXEC);
  const int err = memfd_create("err", MFD_CLOEXEC);
  int in[2] = {-1, -1};
  if (out < 0 || err < 0 || (input && pipe2(in, O_CLOEXEC) != 0)) throw std::runtime_error("fds");
  const pid_t pid = spawn(argv, in[0], out, err, environment, directory);
  if (input) {
    close(in[0]);
    signal(SIGPIPE, SIG_IGN);  // a child that stops reading ends the write with EPIPE
    for (std::string_view rest = *input; !rest.empty();) {
      const ssize_t wrote = write(in[1], rest.data(), rest.size());
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    close(in[1]);
  }
  int waitStatus = 0;
  waitpid(pid, &waitStatus, 0);
  Completed done{contents(out), contents(err), exitStatus(waitStatus)};
  close(out);
  close(err);
  return done;
}

std::string runnerBinary() {
  return OMVI_RUNNER_BINARY;
}

Completed runRunner(const std::vector<std::string>& arguments,
                    const std::optional<std::string>& input,
                    const std::map<std::string, std::string>& environment) {
  std::vector<std::string> argv{runnerBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, input, environment);
}

Completed runRequest(const std::string& request,
                     const std::map<std::string, std::string>& environment) {
  return runRunner({"--json", request}, "", environment);
}

bool Response::has(const std::string& key) const {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

std::string Response::str(const std::string& key) const {
  const auto found = strings.find(key);
  return found == strings.end() ? std::string() : found->second;
}

bool Response::ok() const {
  const auto found = booleans.find("ok");
  return found != booleans.end() && found->second;
}

Response parse(const std::string& line) {
  Response response;
  EXPECT_FALSE(line.empty());
  if (line.empty()) return response;
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "not one line: " << line;
  simdjson::dom::parser parser;
  simdjson::dom::object object;
  const auto error = parser.parse(line).get(object);
  EXPECT_EQ(error, simdjson::SUCCESS) << line;
  if (error) return response;
  for (auto field : object) {
    const std::string key(field.key);
    response.keys.push_back(key);
    switch (field.value.type()) {
      case simdjson::dom::element_type::STRING:
        response.strings[key] = std::string(std::string_view(field.value));
        break;
      case simdjson::dom::element_type::INT64:
        response.integers[key] = int64_t(field.value);
        break;
      case simdjson::dom::element_type::BOOL:
        response.booleans[key] = bool(field.value);
        break;
      case simdjson::dom::element_type::ARRAY: {
        auto& list = response.lists[key];
        for (auto item : field.value.get_array())
          list.emplace_back(std::string_view(item));
        break;
      }
      default:
        ADD_FAILURE() << "unexpected value type for " << key << " in " << line;
    }
  }
  return response;
}

Response send(const std::string& op, const std::string& root, const std::string& fields,
              const std::map<std::string, std::string>& environment) {
  const Completed done = runRequest(
      "{\"op\":" + quote(op) + ",\"workspace_root\":" + quote(root) + fields + "}", environment);
  const Response response = parse(done.out);
  EXPECT_EQ(done.status, response.ok() ? 0 : 1) << done.out;
  EXPECT_EQ(done.err, "");
  return response;
}

std::string repeat(const std::string& text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i)
    out += text;
  return out;
}

std::string quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out.push_back(c);
    }
  }
  return out + "\"";
}

std::string sh(const std::string& command, const std::string& directory) {
  const Completed done = run({"/bin/sh", "-c", command}, "", {}, directory);
  EXPECT_EQ(done.status, 0) << command << "\n" << done.err;
  return done.out;
}

std::string snapshot(const std::string& top, const std::string& spared) {
  return sh("find . -mindepth 1 -path " + spared +
                " -prune -o -printf '%p %M %s %T@ %n %l\\n' && find . -path " + spared +
                " -prune -o -type f -exec sha256sum {} +",
            top);
}

bool eventually(const std::function<bool()>& condition, milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

std::vector<std::string> childrenOf(pid_t pid) {
  std::vector<std::string> children;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // pid (comm) state ppid ...: the command name may hold spaces, so read after its ')'.
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == pid) children.push_back(std::string(entry->d_name) + " " + state);
  }
  closedir(proc);
  return children;
}

InheritedDescriptors::InheritedDescriptors() {
  int ends[2];
  if (pipe(ends) == 0) fds_ = {ends[0], ends[1]};
  fds_.push_back(open("/dev/null", O_RDONLY));
  fds_.push_back(fcntl(1, F_DUPFD, 200));
}

InheritedDescriptors::~InheritedDescriptors() {
  for (const int fd : fds_)
    close(fd);
}

void useHermeticEnvironment() {
  static const TempDir* home = [] {
    auto* directory = new TempDir();  // lives as long as the test process
    const std::string path = directory->path();
    for (const std::string& setting : std::vector<std::string>{
             "HOME=" + path, "GIT_CONFIG_GLOBAL=" + path + "/.gitconfig", "GIT_CONFIG_NOSYSTEM=1",
             "GIT_AUTHOR_NAME=Omvi Test", "GIT_AUTHOR_EMAIL=test@omvi.invalid",
             "GIT_COMMITTER_NAME=Omvi Test", "GIT_COMMITTER_EMAIL=test@omvi.invalid",
             "GIT_AUTHOR_DATE=2026-01-01T00:00:00Z", "GIT_COMMITTER_DATE=2026-01-01T00:00:00Z",
             "LANG=C", "LC_ALL=C", "TZ=UTC"}) {
      const auto equals = setting.find('=');
      setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    sh("git config --global init.defaultBranch main");
    return directory;
  }();
  (void)home;
}

void makeRepository(const std::string& directory, bool commit) {
  useHermeticEnvironment();
  sh("git init -q -b main .", directory);
  if (commit)
    sh("echo hello > README.md && git add README.md && git commit -q -m initial", directory);
}

}  // namespace omvi_test
