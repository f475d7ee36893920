// What the sandbox adds to starting a child: /bin/true spawned, run and reaped, plainly and
// confined within a call (its ruleset, its environment, its temporary directory and the end of
// its processes included). The process's own start is the same either way.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "runner/process/spawn.h"
#include "runner/sandbox/call.h"

namespace OmviAgentRunnerMain {
namespace {

void runTrue(const SandboxSettings& settings) {
  const UniqueFd sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
  const ProcessSpec launch{"/bin/true", {}, "/tmp", 5};
  const SpawnResult spawned = spawnChild(launch, {sink.get(), sink.get()}, settings);
  int status = 0;
  if (spawned.pid > 0) waitpid(spawned.pid, &status, 0);
}

void SpawnTrue(benchmark::State& state) {
  for (auto _ : state)
    runTrue(SandboxSettings{});
}
BENCHMARK(SpawnTrue)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

void SpawnTrueConfinedInACall(benchmark::State& state) {
  if (sandboxSettings().enabled == false) {
    state.SkipWithError("the kernel cannot enforce the sandbox");
    return;
  }
  for (auto _ : state) {
    SandboxCall call("/tmp");
    runTrue(sandboxSettings());
  }
}
BENCHMARK(SpawnTrueConfinedInACall)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

}  // namespace
}  // namespace OmviAgentRunnerMain

int main(int argc, char** argv) {
  OmviAgentRunnerMain::SandboxSettings settings;
  settings.enabled = true;
  if (OmviAgentRunnerMain::enableSandbox(settings)) settings.enabled = false;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
