#include "runner/process/spawn.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <vector>

#include "runner/sandbox/confined_spawn.h"

namespace OmviAgentRunnerMain {

std::mutex& childStartLock() {
  static std::mutex lock;
  return lock;
}

SpawnResult spawnChild(const ProcessSpec& launch, const ChildPipes& pipes,
                       const SandboxSettings& sandbox) {
  if (sandbox.enabled) return spawnConfined(launch, pipes);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  if (const int error = posix_spawn_file_actions_init(&actions)) return {-1, error};
  if (const int error = posix_spawnattr_init(&attributes)) {
    posix_spawn_file_actions_destroy(&actions);
    return {-1, error};
  }
  // Every step must take: a child started without one (in the runner's own directory, with
  // the runner's descriptors or signal mask) is worse than no child. The first failure wins.
  int error = 0;
  auto step = [&error](int result) {
    if (error == 0) error = result;
  };
  step(posix_spawn_file_actions_adddup2(&actions, pipes.stdoutWrite, STDOUT_FILENO));
  step(posix_spawn_file_actions_adddup2(&actions, pipes.stderrWrite, STDERR_FILENO));
  step(posix_spawn_file_actions_addclosefrom_np(&actions, 3));
  if (!launch.directory.empty()) {
    step(posix_spawn_file_actions_addchdir_np(&actions, launch.directory.c_str()));
  }
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  step(posix_spawnattr_setsigdefault(&attributes, &all));
  step(posix_spawnattr_setsigmask(&attributes, &none));
  step(posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));

  SpawnResult result;
  if (error == 0) {
    std::vector<char*> argv;
    argv.reserve(launch.arguments.size() + 2);
    argv.push_back(const_cast<char*>(launch.executable.c_str()));
    for (const auto& argument : launch.arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::lock_guard start(childStartLock());
    error = posix_spawn(&result.pid, launch.executable.c_str(), &actions, &attributes, argv.data(),
                        environ);
  }
  result.error = error;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return result;
}

}  // namespace OmviAgentRunnerMain
