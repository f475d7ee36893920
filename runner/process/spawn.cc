#include "runner/process/spawn.h"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <vector>

#include "runner/sandbox/confined_spawn.h"

namespace OmviAgentRunnerMain {

SpawnResult spawnChild(const ProcessSpec& launch, const ChildPipes& pipes,
                       const SandboxSettings& sandbox) {
  if (sandbox.enabled) return spawnConfined(launch, pipes);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, pipes.stdoutWrite, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipes.stderrWrite, STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!launch.directory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, launch.directory.c_str());
  }
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.reserve(launch.arguments.size() + 2);
  argv.push_back(const_cast<char*>(launch.executable.c_str()));
  for (const auto& argument : launch.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  SpawnResult result;
  result.error = posix_spawn(&result.pid, launch.executable.c_str(), &actions, &attributes,
                             argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return result;
}

}  // namespace OmviAgentRunnerMain
