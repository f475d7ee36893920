#include "tests/support/transports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "runner/entry.h"
#include "runner/text.h"
#include "tests/support/service_support.h"

namespace omvi_test {
namespace {

std::atomic<pid_t> gSharedService{0};
const char* const kOutcomeNames[] = {"ok", "failed", "refused"};

// One service for the whole test program, serving on a socket of its own; it is killed when
// the program ends.
struct SharedService {
  TempDir directory;
  std::string socket = directory / "runner.sock";
  ServiceProcess process{ServiceProcess::runnerServing(socket)};
};

const std::string& sharedSocket() {
  static const SharedService shared;
  gSharedService = shared.process.pid();
  return shared.socket;
}

// The command line's ways run under timeout(1): no request may take longer than a minute,
// sanitizers included; a runner killed at the deadline reports 128 + 9.
Exchange commandLine(const std::vector<std::string>& arguments, const std::string& input,
                     const std::string& directory) {
  std::vector<std::string> argv{"timeout", "-s", "KILL", "60", runnerBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const Completed done = run(argv, input, {}, directory);
  return {done.out, done.err, done.status, done.status != 137};
}

}  // namespace

std::string nameOf(Way way) {
  const char* const names[] = {"stdin", "--json", "socket", "handleJSONText"};
  return names[static_cast<int>(way)];
}

bool carries(Way way, const std::string& request) {
  if (way == Way::kJsonArgument) {
    return request.find('\0') == std::string::npos && request.size() < 128 * 1024;
  }
  return way != Way::kSocket || OmviAgentRunnerMain::isValidUtf8(request);
}

bool sampled(Way way, std::size_t index) {
  const bool startsARunner = way == Way::kStandardInput || way == Way::kJsonArgument;
  return !startsARunner || !OMVI_SANITIZED || index % 8 == 0;
}

Exchange send(Way way, const std::string& request, const std::string& directory) {
  const bool startsARunner = way == Way::kStandardInput || way == Way::kJsonArgument;
  EXPECT_TRUE(startsARunner || directory.empty()) << "only a new runner takes a directory";
  switch (way) {
    case Way::kStandardInput:
      return commandLine({}, request, directory);
    case Way::kJsonArgument:
      return commandLine({"--json", request}, "", directory);
    case Way::kInProcess:
      return {OmviAgentRunnerMain::handleJSONText(request) + "\n", "", std::nullopt, true};
    case Way::kSocket:
      break;
  }
  ServiceClient client(sharedSocket());
  const std::optional<std::string> line =
      client.call(1, request) ? client.readLine(std::chrono::seconds(60)) : std::nullopt;
  if (!line) return {"", "", std::nullopt, false};
  const ServiceReply reply = decodeServiceReply(line);
  EXPECT_TRUE(reply.isResult) << reply.errorCode << " " << reply.errorMessage;
  return {reply.result + "\n", "", std::nullopt, true};
}

std::optional<pid_t> sharedServiceProcess() {
  const pid_t pid = gSharedService;
  return pid != 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

std::string expectAnswer(const Exchange& exchange, const std::vector<Outcome>& allowed,
                         const std::string& what) {
  EXPECT_TRUE(exchange.finished) << what << ": no answer before the deadline";
  EXPECT_EQ(exchange.errorOutput, "") << what;
  const Response response = parse(exchange.output);
  EXPECT_EQ(response.str("helper"), "omvi-agent-runner") << what << ": " << exchange.output;
  EXPECT_TRUE(response.booleans.count("ok")) << what << ": " << exchange.output;
  const std::string error = response.str("error");
  Outcome outcome = Outcome::kOk;
  if (!response.ok()) {
    const bool refused =
        error.starts_with("invalid JSON request: ") || error == "invalid_utf8_request";
    outcome = refused ? Outcome::kRefused : Outcome::kFailed;
  }
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), outcome), allowed.end())
      << what << ": answered " << kOutcomeNames[static_cast<int>(outcome)] << "\n"
      << exchange.output;
  if (exchange.exitStatus) {
    EXPECT_EQ(*exchange.exitStatus, static_cast<int>(outcome)) << what << ": " << exchange.output;
  }
  return error;
}

void forEachInParallel(std::size_t count, const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i = next++; i < count; i = next++)
      work(i);
  };
  std::thread other(worker);
  worker();
  other.join();
}

}  // namespace omvi_test
