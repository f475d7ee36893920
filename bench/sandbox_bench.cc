// What the sandbox adds to starting a child: /bin/true, and zsh running "true" as the shell
// operation does, spawned, run and reaped plainly and confined within a call (its ruleset, its
// environment, its temporary directory and the end of its processes included). The process's
// own start is the same either way.
//
// The same for the whole command line, given as `sandbox_bench RUNNER`: the runner answering
// a shell request for "true" with --sandbox against without, its own start included.
//
// The two are run in turn, plain then confined then plain again, and compared pair by pair:
// on a shared or virtual machine, how fast a child starts drifts by more than the sandbox
// adds, and only paired runs see through that. "added_ms" is the median of the differences.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runner/process/spawn.h"
#include "runner/sandbox/call.h"

namespace OmviAgentRunnerMain {
namespace {

const ProcessSpec kTrue{"/bin/true", {}, "/tmp", 5};
// What the shell operation runs for "true".
const ProcessSpec kShellTrue{"/bin/zsh", {"-c", "true"}, "/tmp", 5};

double runMs(const ProcessSpec& launch, bool confined) {
  const auto start = std::chrono::steady_clock::now();
  {
    std::optional<SandboxCall> call;
    if (confined) call.emplace("/tmp");
    const UniqueFd sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    const SpawnResult spawned = spawnChild(launch, {sink.get(), sink.get()},
                                           confined ? sandboxSettings() : SandboxSettings{});
    int status = 0;
    if (spawned.pid > 0) waitpid(spawned.pid, &status, 0);
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string runnerPath;
std::string workspace;

// The command line for "true" in |workspace|, with the sandbox or without, started and reaped.
double runnerMs(bool confined) {
  const std::string request =
      R"({"op":"shell","workspace_root":")" + workspace + R"(","command":"true"})";
  std::vector<const char*> argv{runnerPath.c_str()};
  if (confined) argv.push_back("--sandbox");
  argv.insert(argv.end(), {"--json", request.c_str(), nullptr});
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, runnerPath.c_str(), &actions, nullptr, const_cast<char**>(argv.data()),
                  environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Each confined run against the mean of the plain runs on either side of it.
void comparePaired(benchmark::State& state, const std::function<double(bool)>& run) {
  std::vector<double> plain;
  std::vector<double> confined;
  std::vector<double> added;
  for (auto _ : state) {
    const double before = run(false);
    const double sandboxed = run(true);
    const double after = run(false);
    plain.push_back(before);
    plain.push_back(after);
    confined.push_back(sandboxed);
    added.push_back(sandboxed - (before + after) / 2);
  }
  state.counters["plain_ms"] = median(plain);
  state.counters["confined_ms"] = median(confined);
  state.counters["added_ms"] = median(added);
}

void SandboxAdds(benchmark::State& state, const ProcessSpec& launch) {
  if (!sandboxSettings().enabled) {
    state.SkipWithError("the kernel cannot enforce the sandbox");
    return;
  }
  comparePaired(state, [&launch](bool confined) { return runMs(launch, confined); });
}

void CommandLineSandboxAdds(benchmark::State& state) {
  if (!sandboxSettings().enabled) {
    state.SkipWithError("the kernel cannot enforce the sandbox");
    return;
  }
  comparePaired(state, runnerMs);
}

BENCHMARK_CAPTURE(SandboxAdds, true, kTrue)->UseRealTime()->MinTime(2);
BENCHMARK_CAPTURE(SandboxAdds, shell_true, kShellTrue)->UseRealTime()->MinTime(3);

}  // namespace
}  // namespace OmviAgentRunnerMain

int main(int argc, char** argv) {
  OmviAgentRunnerMain::SandboxSettings settings;
  settings.enabled = true;
  if (OmviAgentRunnerMain::enableSandbox(settings)) settings.enabled = false;
  benchmark::Initialize(&argc, argv);
  if (argc > 1) {
    OmviAgentRunnerMain::runnerPath = argv[1];
    char pattern[] = "/tmp/omvi-sandbox-bench-XXXXXX";
    if (mkdtemp(pattern) != nullptr) OmviAgentRunnerMain::workspace = pattern;
    benchmark::RegisterBenchmark("CommandLineSandboxAdds/shell_true",
                                 OmviAgentRunnerMain::CommandLineSandboxAdds)
        ->UseRealTime()
        ->MinTime(4);
  }
  benchmark::RunSpecifiedBenchmarks();
  if (!OmviAgentRunnerMain::workspace.empty()) rmdir(OmviAgentRunnerMain::workspace.c_str());
  benchmark::Shutdown();
  return 0;
}
