// The service's switches, and each call delivered exactly once.
#include "runner/service/service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "runner/service/xpc_service.h"

namespace OmviAgentRunnerMain {
namespace {

TEST(ServiceOptions, ReadsTheSwitchesAndRefusesMalformedOnes) {
  struct Case {
    std::vector<std::string> arguments;
    std::optional<ServiceOptions> expected;
  };
  const auto with = [](auto change) {
    ServiceOptions options;
    change(options);
    return std::optional<ServiceOptions>(options);
  };
  const std::vector<Case> cases = {
      {{"r", "--xpc-service"}, ServiceOptions{}},
      {{"r", "--socket", "/s", "--max-request-bytes", "10", "--max-concurrency", "3"},
       ServiceOptions{"/s", 10, 3}},
      {{"r", "--json", "--socket", "--xpc-service"}, ServiceOptions{}},  // a payload, not a switch
      {{"r", "--json"}, ServiceOptions{}},
      {{"r", "--max-connections", "3", "--max-reply-backlog", "5", "--line-timeout", "2", "--help"},
       with([](ServiceOptions& o) {
         o.maxConnections = 3, o.maxReplyBacklog = 5, o.lineTimeoutSeconds = 2, o.help = true;
       })},
      {{"r", "--max-buffered-bytes", "7", "--max-connection-bytes", "8"},
       with([](ServiceOptions& o) { o.maxBufferedBytes = 7, o.maxConnectionBytes = 8; })},
      {{"r", "--max-connections", "0"}, std::nullopt},
      {{"r", "--line-timeout", "86401"}, std::nullopt},
      {{"r", "--call-nice", "0"}, with([](ServiceOptions& o) { o.callNice = 0; })},
      {{"r", "--call-nice", "19"}, with([](ServiceOptions& o) { o.callNice = 19; })},
      {{"r", "--call-nice", "20"}, std::nullopt},
      {{"r", "--writable", "--socket", "--env", "--max-concurrency"}, ServiceOptions{}},
      {{"r", "--socket"}, std::nullopt},
      {{"r", "--socket", ""}, std::nullopt},
      {{"r", "--max-request-bytes", "0"}, std::nullopt},
      {{"r", "--max-concurrency", "-1"}, std::nullopt},
      {{"r", "--max-concurrency", "8x"}, std::nullopt},
      {{"r", "--max-request-bytes", "18446744073709551615"}, std::nullopt},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.arguments.back());
    EXPECT_EQ(parseServiceOptions(row.arguments), row.expected);
  }
  EXPECT_EQ(parseServiceOptions(std::vector<std::string>{"r"})->maxRequestBytes, 64u << 20);
}

// Whether preparing the reply throws or not, each call is delivered exactly once: with its
// answer, or with the internal failure its target made beforehand.
TEST(ServiceWorkerTurn, DeliversEachCallExactlyOnce) {
  struct Target final : ReplyTarget {
    explicit Target(bool throws) : throws(throws) {}
    void prepare(std::string_view text) override {
      if (throws) throw std::bad_alloc();
      answer = text;
    }
    void deliver() noexcept override { ++delivered; }
    bool throws;
    std::string answer;
    std::atomic<int> delivered{0};
  };
  auto fine = std::make_shared<Target>(false);
  auto failing = std::make_shared<Target>(true);
  {
    OmviAgentRunnerXPCService service(getuid(), 2);
    WorkerPool::Lane lane;
    service.performRequest(lane, R"({"op":"ping"})", fine);
    service.performRequest(lane, R"({"op":"ping"})", failing);
    service.finish();
  }
  EXPECT_EQ(fine->delivered, 1);
  EXPECT_NE(fine->answer.find(R"("stdout":"pong")"), std::string::npos);
  EXPECT_EQ(failing->delivered, 1);
  EXPECT_EQ(failing->answer, "");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
