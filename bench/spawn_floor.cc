// spawn_floor PROGRAM [ARGS...]: the least any wrapper process does to run a program for a
// caller: start, spawn it with two pipes, read both to their end, reap it, print one line.
// Timed beside the runner, it shows which part of the runner's cost is its own.
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::array<int, 2> out{}, err{};
  if (pipe(out.data()) != 0 || pipe(err.data()) != 0) return 2;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[1], &actions, nullptr, argv + 1, environ) != 0) return 2;
  close(out[1]);
  close(err[1]);
  std::array<pollfd, 2> ends{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
  std::array<char, 65536> buffer{};
  for (int open = 2; open > 0;) {
    poll(ends.data(), ends.size(), -1);
    for (pollfd& end : ends) {
      if (end.revents != 0 && read(end.fd, buffer.data(), buffer.size()) <= 0) {
        end.fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return write(1, "{}\n", 3) == 3 ? 0 : 1;
}
