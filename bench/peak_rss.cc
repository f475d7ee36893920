// peak_rss COMMAND [ARGS...] [< input]: runs the command and prints its peak resident set
// size in KiB and its wall time in milliseconds on one line; the command's own output goes
// to /dev/null. Exits with the command's status.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_rss COMMAND [ARGS...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[1], &actions, nullptr, argv + 1, environ) != 0) {
    std::perror("posix_spawnp");
    return 2;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%ld %lld\n", usage.ru_maxrss,
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
