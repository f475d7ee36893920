// The service end to end: the real runner serving on a temporary socket.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "tests/support/service_support.h"

namespace omvi_test {
namespace {

const std::string kPing = R"({"op":"ping"})";

// Whether this process holds capability |number| (CAP_*) in its effective set.
bool hasCapability(int number) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("CapEff:")) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> number) & 1U) != 0;
    }
  }
  return false;
}

// Waits for |path| to appear.
bool exists(const std::string& path) {
  return eventually([&] { return access(path.c_str(), F_OK) == 0; });
}

class Service : public ::testing::Test {
 protected:
  // Ends |service| with |number|: status 0, nothing printed, the socket file gone.
  void stopCleanly(ServiceProcess& service, int number = SIGTERM) {
    service.signal(number);
    EXPECT_EQ(service.wait(), 0);
    EXPECT_EQ(service.output(), "");
    EXPECT_NE(access(socket.c_str(), F_OK), 0);
  }

  std::string shellIn(const std::string& command) const {
    return R"({"op":"shell","workspace_root":)" + quote(dir.path()) + R"(,"command":)" +
           quote(command) + "}";
  }

  // What |command| prints in a shell call to a service started with |extra|.
  std::string childOutput(const std::vector<std::string>& extra, const std::string& command) {
    ServiceProcess service(ServiceProcess::runnerServing(socket, extra));
    ServiceClient client(socket);
    EXPECT_TRUE(client.call(1, shellIn(command)));
    const ServiceReply reply = decodeServiceReply(client.readLine());
    stopCleanly(service);
    return reply.response().str("stdout");
  }

  // A shell call in a service started with |extra| sees its process run at |nice|.
  void expectChildNice(const std::vector<std::string>& extra, const std::string& nice) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    EXPECT_EQ(childOutput(extra, "awk '{print $19}' /proc/$$/stat"), nice + "\n");
  }

  TempDir dir;
  std::string socket = dir / "runner.sock";
};

TEST_F(Service, AnswersPingWithItsOwnPidOnASocketItKeeps) {
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  ServiceClient client(socket);
  ASSERT_TRUE(client.call(1, kPing));
  const ServiceReply reply = decodeServiceReply(client.readLine());
  EXPECT_EQ(reply.id, "1");
  EXPECT_EQ(reply.response().integers.at("pid"), service.pid());

  // A second service leaves the live one alone: status 1, nothing printed.
  ServiceProcess second(ServiceProcess::runnerServing(socket), {}, /*awaitReady=*/false);
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.output(), "");
  stopCleanly(service);
}

// Every line gets one reply, the connection stays usable after each, and a slow call sent
// first on the same connection does not hold them up.
TEST_F(Service, AnswersEachKindOfLineOnOneConnectionPastASlowCall) {
  struct Case {
    std::string line;
    std::string id;
    int errorCode;        // 0: a result
    std::string failure;  // the result's `error`, up to its length
  };
  const std::string call = R"({"jsonrpc":"2.0","method":"performRequest",)";
  // clang-format off
  const std::vector<Case> cases = {
      {"not json", "null", -32700, ""},
      {call + R"("params":["x"]})", "null", -32600, ""},
      {call + R"("id":2,"params":[1]})", "2", -32600, ""},
      {call + R"("id":3,"params":{}})", "3", -32600, ""},
      {R"({"jsonrpc":"2.0","id":4,"method":"other","params":["x"]})", "4", -32601, ""},
      {call + R"("id":5,"params":["not json"]})", "5", 0, "invalid JSON request: "},
      {call + R"("id":6,"params":["\ud800"]})", "6", 0, "invalid_utf8_request"},
      {call + R"("id":"s","params":{"request":"{\"op\":\"PING\"}"}})", R"("s")", 0, ""},
      // Lines too long to read on the I/O thread are read on a worker, with the same answers.
      {std::string(100000, 'x'), "null", -32700, ""},
      {R"({"jsonrpc":"2.0","id":8,"method":"other","params":[")" + std::string(100000, 'x') + R"("]})",
       "8", -32601, ""},
      {call + R"("id":9,"params":[)" + quote(shellIn("true #" + std::string(100000, 'x'))) + "]}",
       "9", 0, ""},
  };
  // clang-format on
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  ServiceClient client(socket);
  ASSERT_TRUE(client.call(1, shellIn("sleep 1")));
  for (const auto& row : cases) {
    SCOPED_TRACE(row.line);
    ASSERT_TRUE(client.send(row.line + "\n"));
    const ServiceReply reply = decodeServiceReply(client.readLine());
    EXPECT_EQ(reply.id, row.id);
    EXPECT_EQ(reply.errorCode, row.errorCode) << reply.errorMessage;
    if (row.errorCode != 0) continue;
    const Response response = reply.response();
    EXPECT_EQ(response.ok(), row.failure.empty());
    EXPECT_EQ(response.str("error").substr(0, row.failure.size()), row.failure);
  }
  const ServiceReply slow = decodeServiceReply(client.readLine());
  EXPECT_EQ(slow.id, "1");
  EXPECT_TRUE(slow.response().ok());
  stopCleanly(service);
}

// Calls, and the children they start, run below the I/O thread's priority, sandboxed or not,
// so that a busy machine still leaves it the processor to answer.
TEST_F(Service, CallsAndTheirChildrenRunBelowTheIoThreadsPriority) {
  expectChildNice({}, "19");
  expectChildNice({"--call-nice", "0"}, "0");
  expectChildNice({"--call-nice", "12"}, "12");
}

TEST_F(Service, SandboxedChildrenRunBelowTheIoThreadsPriority) {
  const Completed status = runRunner({"--sandbox-status"});
  if (status.status != 0) GTEST_SKIP() << "the kernel cannot enforce the sandbox:\n" << status.out;
  if (kThreadSanitized)
    GTEST_SKIP() << "ThreadSanitizer's runtime dies on the sandbox's raw clone child";
  expectChildNice({"--sandbox"}, "19");
  // A sandboxed child leads a session of its own, which the kernel may schedule as a group of
  // its own (autogroup): the group runs at the same nice value, or it would compete at full
  // weight with the I/O thread.
  if (access("/proc/self/autogroup", F_OK) != 0) GTEST_SKIP() << "this kernel has no autogroup";
  if (!hasCapability(CAP_SYS_ADMIN)) {
    GTEST_SKIP() << "without CAP_SYS_ADMIN the kernel may refuse an autogroup change made "
                    "within 100 ms of another";
  }
  EXPECT_EQ(
      childOutput({"--sandbox", "--call-nice", "7"}, "sed 's/.* nice /nice /' /proc/$$/autogroup"),
      "nice 7\n");
}

// Fifty calls that each wait until all fifty have started, so that only calls running side
// by side can finish (a call gives up after two minutes and answers nothing), and whose
// replies are larger than the socket takes at once: each reply still arrives whole, on a line
// of its own.
TEST_F(Service, FiftyCallsRunSideBySideAndArriveWhole) {
  constexpr int kCalls = 50;
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  ServiceClient client(socket);
  for (int id = 0; id < kCalls; ++id) {
    ASSERT_TRUE(client.call(
        id,
        shellIn("touch started-" + std::to_string(id) +
                "; i=0; while set -- started-*; [ $# -lt 50 ] && [ $i -lt 600 ]; do sleep "
                "0.2; i=$((i+1)); done; [ $# -ge 50 ] && head -c 15000 /dev/zero | tr '\\0' x")));
  }
  std::set<std::string> ids;
  for (int i = 0; i < kCalls; ++i) {
    const ServiceReply reply = decodeServiceReply(client.readLine(std::chrono::seconds(150)));
    EXPECT_EQ(reply.response().str("stdout"), std::string(15000, 'x'));
    ids.insert(reply.id);
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCalls));
  stopCleanly(service);
}

TEST_F(Service, APeerThatLeavesMidCallCausesNoError) {
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  {
    ServiceClient leaving(socket);
    ASSERT_TRUE(leaving.call(1, shellIn("sleep 0.5; echo x; touch finished")));
    ASSERT_TRUE(leaving.send(std::string(100, ' ')));  // and half a line
  }
  EXPECT_TRUE(exists(dir / "finished"));
  ServiceClient staying(socket);
  ASSERT_TRUE(staying.call(2, kPing));
  EXPECT_TRUE(decodeServiceReply(staying.readLine()).response().ok());
  stopCleanly(service);
}

// Each limit on what a peer makes the service hold answers with one error line and ends
// that connection; the service goes on serving others.
TEST_F(Service, InputOverALimitIsRefusedAndEndsTheConnection) {
  const std::string call =
      R"({"jsonrpc":"2.0","id":1,"method":"performRequest","params":["{\"op\":\"ping\"}"]})";
  const struct {
    std::vector<std::string> switches;
    std::string sent;  // after a ping of exactly 1024 bytes
    int code;
    std::string message;
  } cases[] = {
      {{"--max-request-bytes", "1024"}, std::string(1025, 'x') + "\n", -32600, "request too large"},
      {{"--max-connection-bytes", "100000"}, std::string(200000, 'x'), -32600, "request too large"},
      {{"--max-buffered-bytes", "100000"},
       std::string(300000, 'x'),
       -32000,
       "service busy: too many request bytes buffered"},
      {{"--line-timeout", "1"}, "{", -32600, "request line not finished in time"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.message);
    ServiceProcess service(ServiceProcess::runnerServing(socket, row.switches));
    ServiceClient client(socket);
    ASSERT_TRUE(client.send(call + std::string(1024 - call.size(), ' ') + "\n"));
    EXPECT_TRUE(decodeServiceReply(client.readLine()).response().ok());
    client.send(row.sent);
    const ServiceReply refused = decodeServiceReply(client.readLine());
    EXPECT_EQ(refused.id, "null");
    EXPECT_EQ(refused.errorCode, row.code);
    EXPECT_EQ(refused.errorMessage, row.message);
    EXPECT_TRUE(client.endsWithin());
    ServiceClient other(socket);
    ASSERT_TRUE(other.call(2, kPing));
    EXPECT_TRUE(decodeServiceReply(other.readLine()).response().ok());
    stopCleanly(service);
  }
}

// One connection over the cap is told so and closed at once; a closed one frees its place.
TEST_F(Service, ConnectionsOverTheCapAreToldAndClosed) {
  ServiceProcess service(ServiceProcess::runnerServing(socket, {"--max-connections", "2"}));
  auto first = std::make_unique<ServiceClient>(socket);
  ServiceClient second(socket);
  for (ServiceClient* client : {first.get(), &second}) {
    ASSERT_TRUE(client->call(1, kPing));
    ASSERT_TRUE(client->readLine());
  }
  ServiceClient third(socket);
  const ServiceReply refused = decodeServiceReply(third.readLine());
  EXPECT_EQ(refused.errorCode, -32000);
  EXPECT_EQ(refused.errorMessage, "too many connections");
  EXPECT_TRUE(third.endsWithin());
  first.reset();
  EXPECT_TRUE(eventually([&] {
    ServiceClient fourth(socket);
    return fourth.call(4, kPing) && fourth.readLine(milliseconds(500)).has_value();
  }));
  stopCleanly(service);
}

// A peer that does not read its replies: past the backlog its queued calls wait (and its
// lines stay unread); once it reads, the rest run and every reply arrives whole.
TEST_F(Service, UnreadRepliesHoldBackTheConnectionUntilItReads) {
  constexpr int kCalls = 30;
  ServiceProcess service(ServiceProcess::runnerServing(
      socket, {"--max-reply-backlog", "100000", "--max-concurrency", "4"}));
  ServiceClient client(socket);
  for (int id = 0; id < kCalls; ++id) {
    ASSERT_TRUE(client.call(
        id, shellIn("head -c 15000 /dev/zero | tr '\\0' x; touch done-" + std::to_string(id))));
  }
  const auto done = [&] { return std::stoi(sh("ls " + dir.path() + " | grep -c done- || true")); };
  // The socket takes about 200 KB, the backlog 100 KB: far fewer than 30 replies of 15 KB.
  EXPECT_TRUE(eventually([&] { return done() >= 10; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(done(), kCalls);
  std::set<std::string> ids;
  for (int i = 0; i < kCalls; ++i) {
    const ServiceReply reply = decodeServiceReply(client.readLine());
    EXPECT_EQ(reply.response().str("stdout"), std::string(15000, 'x'));
    ids.insert(reply.id);
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kCalls));
  stopCleanly(service);
}

// The call running still replies; the one queued behind it is answered "service_stopping".
TEST_F(Service, SigtermOrSigintLetsTheCallInFlightReplyThenExitsZero) {
  for (const int number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(number);
    ServiceProcess service(ServiceProcess::runnerServing(socket, {"--max-concurrency", "1"}));
    ServiceClient client(socket);
    const std::string started = dir / ("started-" + std::to_string(number));
    ASSERT_TRUE(client.call(7, shellIn("touch " + started + "; sleep 1; echo done")));
    ASSERT_TRUE(client.call(8, shellIn("echo never")));
    ASSERT_TRUE(exists(started));
    stopCleanly(service, number);  // waits for the call in flight, whose reply still comes
    std::map<std::string, Response> replies;
    for (int i = 0; i < 2; ++i) {
      const ServiceReply reply = decodeServiceReply(client.readLine());
      replies.emplace(reply.id, reply.response());
    }
    EXPECT_EQ(replies["7"].str("stdout"), "done\n");
    EXPECT_EQ(replies["8"].str("error"), "service_stopping");
    EXPECT_TRUE(client.endsWithin());
  }
}

// A peer that never reads cannot hold the stop: its replies are dropped after 5 s.
TEST_F(Service, SigtermWithAPeerThatNeverReadsStillExitsZero) {
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  ServiceClient client(socket);
  for (int id = 0; id < 30; ++id) {  // 450 KB of replies, more than the socket takes
    ASSERT_TRUE(client.call(
        id, shellIn("head -c 15000 /dev/zero | tr '\\0' x; touch done-" + std::to_string(id))));
  }
  ASSERT_TRUE(exists(dir / "done-29"));
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(std::chrono::seconds(30)), 0);
}

TEST_F(Service, StartsThroughSystemdSocketActivation) {
  ServiceProcess service({"systemd-socket-activate", "-l", socket, runnerBinary(), "--xpc-service"},
                         {}, /*awaitReady=*/false);
  ASSERT_TRUE(eventually([&] { return listening(socket); }));
  for (int id = 1; id <= 2; ++id) {
    ServiceClient client(socket);
    ASSERT_TRUE(client.call(id, kPing));
    // The activator execs the runner, which keeps its process id.
    EXPECT_EQ(decodeServiceReply(client.readLine()).response().integers.at("pid"), service.pid());
  }
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
}

// The service name in the environment chooses the service mode and XDG_RUNTIME_DIR its socket,
// where the client finds it; the client's status follows the reply.
TEST_F(Service, TheEnvironmentChoosesTheSocketAndTheClientsStatusFollowsTheReply) {
  const std::map<std::string, std::string> environment{
      {"XPC_SERVICE_NAME", "io.omvi.omvi-agent-runner\n"}, {"XDG_RUNTIME_DIR", dir.path()}};
  socket = dir / "omvi-agent-runner.sock";
  ServiceProcess service({runnerBinary()}, environment);
  const struct {
    std::vector<std::string> arguments;
    std::string input;
    int status;
  } cases[] = {
      {{"--json", kPing}, "", 0},
      {{}, kPing, 0},  // from standard input
      {{"--json", R"({"op":"nope"})"}, "", 1},
      {{"--json", R"({"op":5})"}, "", 1},  // undecodable: a failure, not unreachable
      {{"--json", "\xff"}, "", 2},         // not UTF-8: the envelope is refused
  };
  for (const auto& row : cases) {
    std::vector<std::string> argv{OMVI_CALL_BINARY};
    argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
    const Completed done = run(argv, row.input, environment);
    SCOPED_TRACE(done.out + done.err);
    EXPECT_EQ(done.status, row.status);
    if (row.status != 2) {
      EXPECT_EQ(parse(done.out).integers.at("pid"), service.pid());
      EXPECT_EQ(done.err, "");
    } else {
      EXPECT_EQ(done.out, "");
    }
  }
  stopCleanly(service);
  const Completed unreachable = run({OMVI_CALL_BINARY, "--socket", socket, "--json", kPing});
  EXPECT_EQ(unreachable.status, 2);
  EXPECT_EQ(unreachable.out, "");
  EXPECT_EQ(std::count(unreachable.err.begin(), unreachable.err.end(), '\n'), 1);
}

// The socket file is 0600, so only a socket opened up by hand (or by an activating manager)
// lets another user connect at all; the peer check still turns that user away.
TEST_F(Service, ClosesConnectionsFromOtherUsersAtOnce) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
    GTEST_SKIP() << "needs root and setpriv to act as other users";
  }
  const auto as = [](int uid, std::vector<std::string> argv) {
    const std::string id = std::to_string(uid);
    argv.insert(argv.begin(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    return argv;
  };
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  ServiceProcess service(as(65534, ServiceProcess::runnerServing(socket)), {}, false);
  ASSERT_TRUE(eventually([&] { return listening(socket); }));
  ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
  const std::vector<std::string> call{OMVI_CALL_BINARY, "--socket", socket, "--json", kPing};
  EXPECT_EQ(run(as(65534, call)).status, 0);  // its own user
  EXPECT_EQ(run(call).status, 0);             // root
  const Completed stranger = run(as(65533, call));
  EXPECT_EQ(stranger.status, 2);
  EXPECT_EQ(stranger.out, "") << stranger.err;
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(), 0);
}

}  // namespace
}  // namespace omvi_test
