#include "runner/process/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "runner/process/call_context.h"
#include "runner/process/git_invocation.h"
#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using std::chrono::milliseconds;

// Escalation shortened so that kill tests take milliseconds.
constexpr EscalationTimings kQuick{milliseconds(200), milliseconds(200), milliseconds(100)};

ChildOutcome sh(const std::string& script, double timeout = 10,
                const EscalationTimings& timings = kQuick) {
  return runChild({"/bin/sh", {"-c", script}, "", timeout}, timings);
}

// (Exit statuses with both streams are the shell end-to-end tests'.)
TEST(RunChild, ReportsStatusAndBothStreams) {
  const struct {
    const char* script;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {"printf 'a\\377b'; echo fine >&2; exit 4", 4, "",
       "fine\n"},                     // invalid UTF-8 empties stdout only
      {"kill -TERM $$", 15, "", ""},  // a signal's number is the status
  };
  for (const auto& c : cases) {
    const ChildOutcome outcome = sh(c.script);
    EXPECT_EQ(outcome.end, ChildOutcome::End::kExited) << c.script;
    EXPECT_EQ(outcome.status, c.status) << c.script;
    EXPECT_EQ(outcome.stdoutText, c.out) << c.script;
    EXPECT_EQ(outcome.stderrText, c.err) << c.script;
  }
}

// Each stream is capped in grapheme clusters, and read to its end past the cap: a child
// flooding one stream still finishes, and the other stream still arrives.
TEST(RunChild, CapsEachStreamAndDrainsAFlood) {
  ChildOutcome outcome =
      sh("head -c 20000000 /dev/zero | tr '\\0' x; head -c 9000 /dev/zero | tr '\\0' y >&2");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.stdoutText, std::string(16000, 'x'));
  EXPECT_EQ(outcome.stderrText, std::string(8000, 'y'));

  outcome = sh("head -c 16000 /dev/zero | tr '\\0' x; head -c 8000 /dev/zero | tr '\\0' y >&2");
  EXPECT_EQ(outcome.stdoutText.size(), 16000U);
  EXPECT_EQ(outcome.stderrText.size(), 8000U);

  // 16001 emoji of four bytes: 16000 come back, cut on a cluster boundary.
  outcome = sh("i=0; while [ $i -lt 16001 ]; do printf '\\360\\237\\230\\200'; i=$((i+1)); done");
  EXPECT_EQ(outcome.stdoutText, omvi_test::repeat("😀", 16000));

  // One letter and endless combining marks are one cluster, so the byte caps decide: 1 MiB
  // and 512 KiB, cut between code points. Before the letter, a cluster that fits ends it.
  const std::string marks = "yes \"$(printf '\\314\\201')\" | tr -d '\\n' | head -c 9000000";
  outcome = sh("{ printf a; " + marks + "; } & { printf xy; " + marks + "; } >&2; wait");
  EXPECT_EQ(outcome.stdoutText,
            std::string("a").append(omvi_test::repeat("\u0301", (kStdoutByteCap - 1) / 2)));
  EXPECT_EQ(outcome.stderrText, "x");
}

TEST(RunChild, ABackgroundJobHoldingAPipeCannotHoldTheAnswer) {
  const auto start = std::chrono::steady_clock::now();
  const ChildOutcome outcome = sh("sleep 30 & echo started");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.stdoutText, "started\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(RunChild, EscalatesFromTermToKill) {
  ChildOutcome outcome = sh("sleep 30", 0.2);
  EXPECT_EQ(outcome.status, 15);

  outcome = sh("trap '' TERM; sleep 30 & wait; sleep 30", 0.2);
  EXPECT_EQ(outcome.status, 9);

  outcome = sh("trap 'echo caught; exit 7' TERM; while :; do sleep 0.01; done", 0.2);
  EXPECT_EQ(outcome.status, 7);
  EXPECT_EQ(outcome.stdoutText, "caught\n");
}

// The call context: its cancel descriptor ends a running child as a time limit would, and
// keeps any later child from starting; its counter sees every byte of both streams.
TEST(RunChild, ACancelledCallEndsItsChildAndStartsNoOther) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  std::atomic<std::uint64_t> bytes{0};
  const CallContext context{fds[0], &bytes};
  const ScopedCallContext installed(context);
  std::thread canceller([&] {
    omvi_test::eventually([&] { return bytes >= 10; });
    EXPECT_EQ(write(fds[1], "x", 1), 1);
  });
  const auto start = std::chrono::steady_clock::now();
  ChildOutcome outcome = sh("echo started; echo e >&2; exec sleep 90", 60);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(outcome.end, ChildOutcome::End::kCancelled);
  EXPECT_EQ(outcome.status, 15);  // reaped: SIGTERM ended it
  EXPECT_EQ(bytes, 10U);
  EXPECT_EQ(responseFromOutcome(outcome),
            failure("cancelled", {.stdoutText = "started\n", .stderrText = "e\n"}));

  const omvi_test::TempDir dir;
  outcome = sh("touch " + dir / "ran");
  EXPECT_EQ(outcome.end, ChildOutcome::End::kCancelled);
  EXPECT_FALSE(omvi_test::sh("ls " + dir.path()).find("ran") != std::string::npos);
  close(fds[0]);
  close(fds[1]);
}

// No limit overflows or hangs the wait: the shortest ones end the child (or let it finish
// first, on a quick machine), the longest ones let it run to its end.
TEST(RunChild, EveryTimeLimitIsSafe) {
  for (const double timeout : {0.0, -5.0, 1e-9, -1e308}) {
    const ChildOutcome outcome = sh("exec sleep 30", timeout);
    EXPECT_EQ(outcome.end, ChildOutcome::End::kExited) << timeout;
    EXPECT_EQ(outcome.status, 15) << timeout;
  }
  for (const double timeout : {30.0, 1e308}) {
    const ChildOutcome outcome = sh("echo ran", timeout);
    EXPECT_EQ(outcome.status, 0) << timeout;
    EXPECT_EQ(outcome.stdoutText, "ran\n") << timeout;
  }
}

// A child still there when SIGKILL's wait runs out is answered as a timeout, and reaped in
// the background once it has gone: no zombie stays behind. (No wait at all after SIGKILL
// leaves the kernel no time to end it.)
TEST(RunChild, AChildThatOutlivesTheKillWaitIsReapedLater) {
  constexpr EscalationTimings kNoWait{milliseconds(0), milliseconds(0), milliseconds(0)};
  for (int attempt = 0; attempt < 20; ++attempt) {
    const ChildOutcome outcome = sh("echo $$; trap '' TERM; exec sleep 30", 0.3, kNoWait);
    if (outcome.end != ChildOutcome::End::kStillRunning) continue;
    EXPECT_EQ(responseFromOutcome(outcome).error, "timeout");
    const std::string proc = "/proc/" + outcome.stdoutText.substr(0, outcome.stdoutText.size() - 1);
    ASSERT_FALSE(outcome.stdoutText.empty());
    EXPECT_TRUE(omvi_test::eventually([&] { return access(proc.c_str(), F_OK) != 0; })) << proc;
    return;
  }
  GTEST_SKIP() << "the kernel ended the child before the runner looked, twenty times over";
}

TEST(RunChild, TheChildGetsACleanStart) {
  signal(SIGPIPE, SIG_IGN);                      // the runner ignores it; its children must not
  const omvi_test::InheritedDescriptors leaked;  // nor may they inherit these
  // ls lists its own descriptors: the three it was given, and 3, its listing of them.
  EXPECT_EQ(runChild({"/bin/ls", {"/proc/self/fd"}, "", 5}).stdoutText, "0\n1\n2\n3\n");
  // exec: the shell's own mask, which it blocks whole around each fork, is not the question.
  const ChildOutcome outcome = sh("exec awk '/^Sig(Ign|Blk)/ { print $2 }' /proc/self/status");
  // Only the standard signals count: the C library reserves some real-time ones for itself.
  unsigned long long blocked = 0, ignored = 0;
  ASSERT_EQ(sscanf(outcome.stdoutText.c_str(), "%llx %llx", &blocked, &ignored), 2);
  EXPECT_EQ(blocked & 0x7fffffffULL, 0U);
  EXPECT_EQ(ignored & 0x7fffffffULL, 0U);
}

TEST(RunChild, SpawnFailuresSayWhat) {
  const ProcessSpec launches[] = {{"/no/such/program", {}, "", 5},
                                  {"/bin/sh", {"-c", "true"}, "/no/such/dir", 5},
                                  {"/etc/passwd", {}, "", 5}};
  const char* const errors[] = {
      "could not start /no/such/program: No such file or directory",
      "could not start /bin/sh in /no/such/dir: No such file or directory",
      "could not start /etc/passwd: Permission denied"};
  for (std::size_t i = 0; i < std::size(launches); ++i) {
    const ChildOutcome outcome = runChild(launches[i]);
    EXPECT_EQ(outcome.end, ChildOutcome::End::kSpawnFailed);
    EXPECT_EQ(outcome.spawnError, errors[i]);
  }
}

TEST(Git, RepositoryDetection) {
  omvi_test::useHermeticEnvironment();
  const omvi_test::TempDir dir;
  omvi_test::sh("mkdir -p repo/sub broken plain && echo 'gitdir: /nowhere' > broken/.git",
                dir.path());
  omvi_test::makeRepository(dir / "repo", /*commit=*/false);
  EXPECT_TRUE(isGitRepo(dir / "repo"));
  EXPECT_TRUE(isGitRepo(dir / "repo/sub"));  // found by git itself
  EXPECT_TRUE(isGitRepo(dir / "broken"));    // any ".git" entry counts
  EXPECT_FALSE(isGitRepo(dir / "plain"));
  EXPECT_FALSE(isGitRepo(dir / "missing"));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
