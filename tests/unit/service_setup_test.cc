// The service's start: its switches (the sandbox's among them), where it listens, and how the
// socket file is made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "runner/sandbox/confined_spawn.h"
#include "runner/sandbox/sandbox.h"
#include "runner/service/listening_socket.h"
#include "runner/service/service.h"
#include "runner/service/worker_pool.h"
#include "runner/service/xpc_service.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using Kind = SocketChoice::Kind;

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

TEST(SandboxSwitches, ReadsTheSwitchesAndTheEnvironmentsAllowlist) {
  const std::vector<std::string> arguments{
      "r", "--json", "--sandbox", "--sandbox=best-effort", "--no-network", "--writable",
      "w", "--env",  "NAME",      "--sandbox-status"};
  const SandboxSwitches read = parseSandboxSwitches(arguments, "0", "/here");
  EXPECT_EQ(read.settings, (SandboxSettings{true, true, true, {"/here/w"}, {"NAME"}}));
  EXPECT_TRUE(read.statusWanted);
  EXPECT_EQ(parseSandboxSwitches(std::vector<std::string>{"r"}, "1", "/").settings.enabled, true);
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"r", "--writable"}, {"r", "--env", ""}, {"r", "--env", "A=b"}}) {
    EXPECT_NE(parseSandboxSwitches(bad, nullptr, "/").error, "") << bad.back();
  }
  EXPECT_EQ(confinedEnvironment({"PATH=/b", "LC_ALL=C", "SECRET=x", "NAME=n", "TMPDIR=/t",
                                 "GIT_TERMINAL_PROMPT=1", "BROKEN"},
                                {"NAME", "GIT_TERMINAL_PROMPT"}, "/call", true),
            (std::vector<std::string>{"PATH=/b", "LC_ALL=C", "NAME=n", "TMPDIR=/call",
                                      "GIT_TERMINAL_PROMPT=0", "GIT_LITERAL_PATHSPECS=1"}));
}

TEST(ChooseSocket, FirstMatchWins) {
  const std::nullopt_t unset = std::nullopt;
  const auto settings = [](std::optional<std::string> argument, std::optional<std::string> pid,
                           std::optional<std::string> fds, std::optional<std::string> runtime) {
    return SocketSettings{argument, pid, fds, runtime, 42, 1000};
  };
  const SocketChoice privateDirectory{Kind::kPrivateDirectory,
                                      "/tmp/omvi-agent-runner-1000/runner.sock",
                                      "/tmp/omvi-agent-runner-1000", 0};
  const std::pair<SocketSettings, SocketChoice> cases[] = {
      // clang-format off
      {settings("/s", "42", "2", "/run"), {Kind::kActivated, "", "", 2}},  // activation
      {settings("/s", "43", "1", "/run"), {Kind::kPath, "/s", "", 0}},     // another's fds
      {settings(unset, "42", "0", "/run"), {Kind::kPath, "/run/omvi-agent-runner.sock", "", 0}},
      {settings(unset, "42x", "1", ""), privateDirectory},  // a malformed pid
      {settings(unset, unset, unset, ""), privateDirectory},
      {settings(unset, unset, unset, unset), privateDirectory},
      // clang-format on
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(chooseSocket(cases[i].first), cases[i].second) << "row " << i;
  EXPECT_EQ(defaultSocketPath(std::nullopt, 7), "/tmp/omvi-agent-runner-7/runner.sock");
}

mode_t modeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(OpenListeningSocket, MakesA0600SocketAndReplacesOnlyAStaleOne) {
  omvi_test::TempDir dir;
  const std::string path = dir / "runner.sock";
  const SocketChoice choice{Kind::kPath, path, "", 0};
  const mode_t savedMask = umask(0);  // the most permissive umask must still give 0600
  ListenOutcome first = openListeningSocket(choice, getuid());
  umask(savedMask);
  ASSERT_TRUE(first.socket) << first.failure;
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_TRUE(fcntl(first.socket->fd.get(), F_GETFD) & FD_CLOEXEC);

  const ListenOutcome whileLive = openListeningSocket(choice, getuid());
  EXPECT_FALSE(whileLive.socket);
  EXPECT_TRUE(whileLive.serviceAlreadyLive);

  first.socket->fd.reset();  // the file stays, nobody listens: stale
  const ListenOutcome replaced = openListeningSocket(choice, getuid());
  EXPECT_TRUE(replaced.socket) << replaced.failure;
  removeSocketFile(*replaced.socket);
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  std::ofstream(dir / "file") << "data";
  EXPECT_FALSE(openListeningSocket({Kind::kPath, dir / "file", "", 0}, getuid()).socket);
  EXPECT_EQ(omvi_test::sh("cat " + dir / "file"), "data");  // left alone
  const std::string tooLong = dir / std::string(120, 'n');
  EXPECT_FALSE(openListeningSocket({Kind::kPath, tooLong, "", 0}, getuid()).socket);
}

TEST(OpenListeningSocket, ChecksThePrivateDirectory) {
  omvi_test::TempDir dir;
  const auto inside = [&](const std::string& name) {
    return SocketChoice{Kind::kPrivateDirectory, dir / (name + "/runner.sock"), dir / name, 0};
  };
  const ListenOutcome made = openListeningSocket(inside("fresh"), getuid());
  ASSERT_TRUE(made.socket) << made.failure;
  EXPECT_EQ(modeOf(dir / "fresh"), 0700u);

  ASSERT_EQ(mkdir((dir / "shared").c_str(), 0750), 0);
  ASSERT_EQ(chmod((dir / "shared").c_str(), 0750), 0);
  EXPECT_FALSE(openListeningSocket(inside("shared"), getuid()).socket);

  ASSERT_EQ(symlink((dir / "fresh").c_str(), (dir / "link").c_str()), 0);
  EXPECT_FALSE(openListeningSocket(inside("link"), getuid()).socket);

  ASSERT_EQ(mkdir((dir / "theirs").c_str(), 0700), 0);
  EXPECT_FALSE(openListeningSocket(inside("theirs"), getuid() + 1).socket);
}

using namespace std::chrono_literals;

// Jobs that block until |open| have to run on threads of their own.
TEST(WorkerPool, RunsBlockingJobsSideBySideUpToItsMaximum) {
  WorkerPool pool(4);
  WorkerPool::Lane lane;
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  bool open = false;
  std::atomic<int> done{0};
  for (int i = 0; i < 6; ++i) {
    pool.submit(lane, [&](bool) {
      std::unique_lock lock(mutex);
      ++running;
      changed.notify_all();
      changed.wait(lock, [&] { return open; });
      --running;
      ++done;
    });
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return running == 4; }));
    // The two jobs over the maximum wait for a thread rather than getting one.
    EXPECT_FALSE(changed.wait_for(lock, 50ms, [&] { return running > 4; }));
    EXPECT_EQ(pool.threadCount(), 4u);
    open = true;
  }
  changed.notify_all();
  pool.finish();
  EXPECT_EQ(done, 6);
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
