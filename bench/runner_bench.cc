// In-process costs of the request spine: decoding, encoding, confinement, output capture.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "runner/dispatch.h"
#include "runner/guard/workspace.h"
#include "runner/records.h"
#include "runner/request_decoder.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

void DecodeSmallRequest(benchmark::State& state) {
  const std::string text =
      R"({"op":"write_file","workspace_root":"/work/repo","path":"src/main.cc","content":"int main() {}\n"})";
  for (auto _ : state)
    benchmark::DoNotOptimize(decodeRequest(text));
}
BENCHMARK(DecodeSmallRequest);

void DecodeLargeContent(benchmark::State& state) {
  const std::string text = R"({"op":"write_file","path":"a","content":")" +
                           std::string(static_cast<std::size_t>(state.range(0)), 'x') + "\"}";
  for (auto _ : state)
    benchmark::DoNotOptimize(decodeRequest(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(DecodeLargeContent)->Arg(4096)->Arg(1 << 20)->Arg(16 << 20);

void EncodeProcessResponse(benchmark::State& state) {
  const RunnerResponse response = success({.stdoutText = std::string(16000, 'o') + "/\"\n",
                                           .stderrText = "warning\n",
                                           .exitStatus = 0});
  for (auto _ : state)
    benchmark::DoNotOptimize(encodeToString(response));
}
BENCHMARK(EncodeProcessResponse);

void AuthorizeNewFile(benchmark::State& state) {
  const std::string root = std::filesystem::temp_directory_path().string();
  for (auto _ : state)
    benchmark::DoNotOptimize(authorize("deep/new/dir/file.txt", root));
}
BENCHMARK(AuthorizeNewFile);

void CaptureOutput(benchmark::State& state) {
  const std::string chunk(65536, 'y');
  for (auto _ : state) {
    CappedText capped(16000, 1 << 20);
    for (int i = 0; i < 16; ++i)
      capped.append(chunk);  // 1 MiB, mostly past the cap
    benchmark::DoNotOptimize(capped.finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16 * 65536);
}
BENCHMARK(CaptureOutput);

void DispatchPing(benchmark::State& state) {
  RunnerRequest request;
  request.op = " PING ";
  for (auto _ : state)
    benchmark::DoNotOptimize(handle(request));
}
BENCHMARK(DispatchPing);

}  // namespace
}  // namespace OmviAgentRunnerMain
