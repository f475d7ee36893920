#include "tests/support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <simdjson.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace omvi_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "omvi-test-XXXXXX").string();
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

Completed run(const std::vector<std::string>& argv, const std::optional<std::string>& input,
              const std::map<std::string, std::string>& environment, const std::string& directory) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    const auto equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [key, value] : environment)
    merged[key] = value;
  std::vector<std::string> envText;
  for (const auto& [key, value] : merged)
    envText.push_back(key + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envText)
    envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
  } else {
    posix_spawn_file_actions_addclose(&actions, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) throw std::runtime_error("could not start " + argv[0]);

  // Feed standard input and drain both outputs together, so no pipe can fill up.
  signal(SIGPIPE, SIG_IGN);
  std::string toWrite = input.value_or("");
  std::size_t written = 0;
  int inFd = inPipe[1];
  if (toWrite.empty()) {
    close(inFd);
    inFd = -1;
  } else {
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  Completed result;
  int fds[2] = {outPipe[0], errPipe[0]};
  // Reads must never block: the child may still be waiting for the end of its input.
  for (int fd : fds)
    fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0] >= 0 || fds[1] >= 0 || inFd >= 0) {
    pollfd polls[3];
    int slots[3];
    nfds_t count = 0;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] >= 0) {
        slots[count] = i;
        polls[count++] = {fds[i], POLLIN, 0};
      }
    }
    if (inFd >= 0) {
      slots[count] = 2;
      polls[count++] = {inFd, POLLOUT, 0};
    }
    if (poll(polls, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t p = 0; p < count; ++p) {
      if (polls[p].revents == 0) continue;
      const int i = slots[p];
      if (i < 2) {
        char buffer[65536];
        const ssize_t got = read(fds[i], buffer, sizeof buffer);
        if (got > 0) {
          sinks[i]->append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          close(fds[i]);
          fds[i] = -1;
        }
        continue;
      }
      const ssize_t sent = write(inFd, toWrite.data() + written, toWrite.size() - written);
      if (sent > 0) written += static_cast<std::size_t>(sent);
      if ((sent < 0 && errno != EAGAIN && errno != EINTR) || written == toWrite.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  int waitStatus = 0;
  waitpid(pid, &waitStatus, 0);
  result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
  return result;
}

std::string runnerBinary() {
  const char* overridden = std::getenv("OMVI_RUNNER_BINARY");
  return overridden != nullptr ? overridden : OMVI_RUNNER_BINARY;
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
  EXPECT_EQ(line.back(), '\n') << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "more than one line: " << line;
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  const auto error = parser.parse(line).get(document);
  EXPECT_EQ(error, simdjson::SUCCESS) << line;
  if (error) return response;
  simdjson::dom::object object;
  EXPECT_EQ(document.get(object), simdjson::SUCCESS) << line;
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

std::map<std::string, std::string> hermeticGitEnvironment(const std::string& home) {
  return {{"HOME", home},
          {"GIT_CONFIG_NOSYSTEM", "1"},
          {"GIT_CONFIG_GLOBAL", home + "/.gitconfig"},
          {"GIT_AUTHOR_NAME", "Omvi Test"},
          {"GIT_AUTHOR_EMAIL", "test@omvi.invalid"},
          {"GIT_COMMITTER_NAME", "Omvi Test"},
          {"GIT_COMMITTER_EMAIL", "test@omvi.invalid"},
          {"GIT_AUTHOR_DATE", "2026-01-01T00:00:00Z"},
          {"GIT_COMMITTER_DATE", "2026-01-01T00:00:00Z"},
          {"LANG", "C"},
          {"LC_ALL", "C"},
          {"TZ", "UTC"}};
}

void useHermeticEnvironment() {
  static const TempDir* home = [] {
    auto* directory = new TempDir();  // lives as long as the test process
    for (const auto& [key, value] : hermeticGitEnvironment(directory->path())) {
      setenv(key.c_str(), value.c_str(), 1);
    }
    sh("git config --global init.defaultBranch main && git config --global user.name 'Omvi Test'"
       " && git config --global user.email test@omvi.invalid");
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
