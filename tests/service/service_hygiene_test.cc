// A service that has answered thousands of calls of every kind holds no more descriptors,
// children or memory than it did after its first few hundred; a sandboxed one ends each call's
// processes, and only that call's.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/support/service_support.h"

namespace omvi_test {
namespace {

// The service's open descriptors: how many, and how many of them are sockets.
std::string descriptors(pid_t pid) {
  const std::string fd = "/proc/" + std::to_string(pid) + "/fd";
  return sh("echo $(ls " + fd + " | wc -l) $(find " + fd + " -lname 'socket:*' | wc -l)");
}

long residentKiB(pid_t pid) {
  return std::stol(sh("awk '/^VmRSS:/ { print $2 }' /proc/" + std::to_string(pid) + "/status"));
}

TEST(ServiceHygiene, ThousandsOfCallsLeaveNothingBehind) {
  const TempDir dir;
  makeRepository(dir.path());
  const std::string socket = dir / "runner.sock";
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  const std::string root = R"(,"workspace_root":)" + quote(dir.path());
  const std::string requests[] = {
      R"({"op":"ping"})",
      R"({"op":"shell","command":"echo out; echo err >&2")" + root + "}",
      R"({"op":"shell","command":"exit 3")" + root + "}",
      R"({"op":"write_file","path":"a/b.txt","content":"x")" + root + "}",
      R"({"op":"delete_file","path":"a")" + root + "}",
      R"({"op":"write_file","path":"../out","content":"x")" + root + "}",
      R"({"op":"git_status")" + root + "}",
      R"({"op":"apply_diff","diff":"--- /dev/null\n+++ b/new\n@@ -0,0 +1 @@\n+x\n","dry_run":true)" +
          root + "}",
      "not json",
  };
  // Each round: four connections, each with a stream of calls in flight, every reply read.
  auto round = [&] {
    std::vector<std::unique_ptr<ServiceClient>> clients;
    for (int c = 0; c < 4; ++c)
      clients.push_back(std::make_unique<ServiceClient>(socket));
    for (int i = 0; i < 100; ++i) {
      for (auto& client : clients)
        ASSERT_TRUE(client->call(i, requests[i % std::size(requests)])) << service.output();
    }
    for (auto& client : clients) {
      for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(client->readLine());
    }
  };
  // The service notices closed connections a moment after the client closes them; then only
  // the listening socket is left.
  auto settled = [&] {
    EXPECT_TRUE(eventually([&] { return descriptors(service.pid()).ends_with(" 1\n"); }));
    return descriptors(service.pid());
  };
  round();
  const std::string warm = settled();
  const long resident = residentKiB(service.pid());
  for (int i = 0; i < 5; ++i)
    round();
  EXPECT_EQ(settled(), warm);
  EXPECT_EQ(childrenOf(service.pid()), std::vector<std::string>{});
  // A sanitizer's allocator keeps freed memory in quarantine; there, the leak checker that
  // runs when the service stops is the judge instead.
  if (!OMVI_SANITIZED) {
    EXPECT_LE(residentKiB(service.pid()), resident + 4096);
  }
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.output();
}

TEST(ServiceHygiene, SandboxedCallsEndTheirOwnProcessesOnly) {
  const Completed status = runRunner({"--sandbox-status"});
  if (status.status != 0) GTEST_SKIP() << "the kernel cannot enforce the sandbox:\n" << status.out;
  if (kThreadSanitized)
    GTEST_SKIP() << "ThreadSanitizer's runtime dies on the sandbox's raw clone child";
  const TempDir dir;
  const std::string socket = dir / "runner.sock";
  ServiceProcess service(ServiceProcess::runnerServing(socket, {"--sandbox"}));
  const std::string root = R"(,"workspace_root":)" + quote(dir.path());
  ServiceClient slow(socket);
  ASSERT_TRUE(slow.call(0, R"({"op":"shell","command":"sleep 1; echo alive")" + root + "}"));
  std::vector<std::unique_ptr<ServiceClient>> clients;
  for (int c = 0; c < 3; ++c) {
    clients.push_back(std::make_unique<ServiceClient>(socket));
    ASSERT_TRUE(clients.back()->call(
        c,
        R"({"op":"shell","command":"sleep 100.1 & setsid sleep 100.2 & timeout 200 sleep 100.3 &")" +
            root + "}"));
  }
  for (auto& client : clients)
    EXPECT_TRUE(decodeServiceReply(client->readLine()).response().ok());
  EXPECT_EQ(decodeServiceReply(slow.readLine()).response().str("stdout"), "alive\n");
  EXPECT_EQ(sh("pgrep -f 'sleep 100[.][1-3]' || true"), "");
  EXPECT_EQ(childrenOf(service.pid()), std::vector<std::string>{});
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0) << service.output();
}

}  // namespace
}  // namespace omvi_test
