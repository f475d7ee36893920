#include "tests/e2e/hostile_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "runner/entry.h"
#include "runner/text.h"
#include "tests/support/service_support.h"
#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

// No request may take longer than this, sanitizers included; past it the runner is killed
// and the exchange reported unfinished.
constexpr const char* kDeadlineSeconds = "60";

Exchange fromCompleted(const Completed& done) {
  // timeout(1) reports a runner it had to kill with 128 + 9.
  return {done.out, done.err, done.status, done.status != 137};
}

std::vector<std::string> underDeadline(std::vector<std::string> arguments) {
  std::vector<std::string> argv{"timeout", "-s", "KILL", kDeadlineSeconds, runnerBinary()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

class StandardInput final : public Transport {
 public:
  std::string name() const override { return "stdin"; }
  bool carries(const std::string&) const override { return true; }
  Exchange send(const std::string& request) const override {
    return fromCompleted(run(underDeadline({}), request));
  }
};

class JsonArgument final : public Transport {
 public:
  std::string name() const override { return "--json"; }
  bool carries(const std::string& request) const override {
    // The kernel's limit on one argument is 32 pages.
    return request.find('\0') == std::string::npos && request.size() < 128 * 1024;
  }
  Exchange send(const std::string& request) const override {
    return fromCompleted(run(underDeadline({"--json", request}), ""));
  }
};

class InProcess final : public Transport {
 public:
  std::string name() const override { return "handleJSONText"; }
  bool carries(const std::string&) const override { return true; }
  Exchange send(const std::string& request) const override {
    return {OmviAgentRunnerMain::handleJSONText(request) + "\n", "", std::nullopt, true};
  }
  bool startsARunner() const override { return false; }
};

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kFailed:
      return "failed";
    case Outcome::kRefused:
      return "refused";
  }
  return "?";
}

// One service for the whole test program, serving on a socket of its own; it is stopped when
// the program ends.
class SharedService {
 public:
  static const std::string& socket() { return instance().socket_; }
  static std::optional<pid_t> process() {
    return started ? std::optional<pid_t>(instance().process_.pid()) : std::nullopt;
  }

 private:
  SharedService()
      : socket_(directory_ / "runner.sock"), process_(ServiceProcess::runnerServing(socket_)) {
    started = true;
  }
  static const SharedService& instance() {
    static const SharedService shared;
    return shared;
  }

  static inline std::atomic<bool> started{false};

  TempDir directory_;
  std::string socket_;
  ServiceProcess process_;
};

class OverTheSocket final : public Transport {
 public:
  std::string name() const override { return "socket"; }
  // A call travels as a JSON string inside a UTF-8 line: bytes that are not UTF-8 cannot.
  bool carries(const std::string& request) const override {
    return OmviAgentRunnerMain::isValidUtf8(request);
  }
  Exchange send(const std::string& request) const override {
    ServiceClient client(SharedService::socket());
    if (!client.call(1, request)) return {"", "", std::nullopt, false};
    const std::optional<std::string> line = client.readLine(std::chrono::seconds(60));
    if (!line) return {"", "", std::nullopt, false};
    const ServiceReply reply = decodeServiceReply(line);
    EXPECT_TRUE(reply.isResult) << reply.errorCode << " " << reply.errorMessage;
    return {reply.result + "\n", "", std::nullopt, true};
  }
  bool startsARunner() const override { return false; }
};

}  // namespace

std::optional<pid_t> sharedServiceProcess() {
  return SharedService::process();
}

std::vector<std::unique_ptr<Transport>> transports() {
  std::vector<std::unique_ptr<Transport>> all;
  all.push_back(std::make_unique<StandardInput>());
  all.push_back(std::make_unique<JsonArgument>());
  all.push_back(std::make_unique<OverTheSocket>());
  all.push_back(std::make_unique<InProcess>());
  return all;
}

bool sampled(const Transport& way, std::size_t index) {
  constexpr std::size_t kStride = OMVI_SANITIZED ? 8 : 1;
  return !way.startsARunner() || index % kStride == 0;
}

std::string expectAnswer(const Exchange& exchange, std::initializer_list<Outcome> allowed,
                         const std::string& what) {
  EXPECT_TRUE(exchange.finished) << what << ": no answer before the deadline";
  EXPECT_EQ(exchange.errorOutput, "") << what;
  const Response response = parse(exchange.output);
  EXPECT_EQ(response.str("helper"), "omvi-agent-runner") << what << ": " << exchange.output;
  EXPECT_TRUE(response.booleans.count("ok")) << what << ": " << exchange.output;
  const std::string error = response.str("error");
  Outcome outcome = Outcome::kOk;
  if (!response.ok()) {
    // Text that is not UTF-8 at all is refused with its own answer where text arrives as text.
    const bool refused =
        error.rfind("invalid JSON request: ", 0) == 0 || error == "invalid_utf8_request";
    outcome = refused ? Outcome::kRefused : Outcome::kFailed;
  }
  std::string expected;
  for (const Outcome each : allowed)
    expected += std::string(outcomeName(each)) + " ";
  EXPECT_NE(std::find(allowed.begin(), allowed.end(), outcome), allowed.end())
      << what << ": answered " << outcomeName(outcome) << ", expected " << expected << "\n"
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
