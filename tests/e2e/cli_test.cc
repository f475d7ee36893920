// The command-line mode end to end: the real binary, its one output line, its exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

using Keys = std::vector<std::string>;
const std::string kUsage = "expected JSON request on stdin, --json '<payload>', or --xpc";

struct Row {
  std::string name;
  std::vector<std::string> arguments;
  std::optional<std::string> input;  ///< standard input; nothing: closed
  std::map<std::string, std::string> environment;
  int status;
  std::string error = "";  ///< "" for a success (a ping's); a prefix of the error otherwise
};

TEST(Cli, EveryWayInEndsWithOneLineAndTheRightStatus) {
  const std::string ping = R"({"op":"ping"})";
  const std::string nope = R"({"op":"nope"})";
  const std::map<std::string, std::string> named{{"XPC_SERVICE_NAME", "io.omvi.omvi-agent-runner"}};
  const std::string invalid = "invalid JSON request: ";
  // clang-format off
  const Row rows[] = {
      {"ping probe", {"--ping"}, "", {}, 0},
      {"ping wins over json", {"--json", nope, "--ping"}, "", {}, 0},
      {"ping wins over the service flag", {"--xpc-service", "--ping"}, "", {}, 0},
      {"ping wins over the service name", {"--ping"}, "", named, 0},
      {"json argument", {"--json", ping}, "", {}, 0},
      {"standard input", {}, ping, {}, 0},
      {"first json wins", {"--json", ping, "--json", nope}, "", {}, 0},
      {"json last reads stdin", {"--json"}, ping, {}, 0},
      {"failed operation", {"--json", R"({"op":"Frob "})"}, "", {}, 1, "unknown op 'Frob '"},
      {"empty stdin", {}, "", {}, 2, kUsage},
      {"closed stdin", {}, std::nullopt, {}, 2, kUsage},
      {"xpc alone is not the service", {"--xpc"}, "", {}, 2, kUsage},
      {"service name 0 keeps the command line", {}, "", {{"XPC_SERVICE_NAME", "0"}}, 2, kUsage},
      {"empty json payload", {"--json", ""}, "", {}, 2,
       invalid + "the request is empty or only white space"},
      {"line feed on stdin", {}, "\n", {}, 2, invalid},
      {"not an object", {"--json", "[]"}, "", {}, 2, invalid + "the request must be a JSON object"},
      {"missing op", {"--json", "{}"}, "", {}, 2, invalid + "field \"op\" is missing"},
      {"wrong type", {"--json", R"({"op":"git_log","count":"5"})"}, "", {}, 2,
       invalid + "field \"count\" must be an integer"},
      {"invalid UTF-8 on stdin", {}, "{\"op\":\"\xff\"}", {}, 2,
       invalid + "the request is not valid UTF-8"},
      {"a switch after json is the request", {"--json", "--help"}, "", {}, 2, invalid},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Completed done = runRunner(row.arguments, row.input, row.environment);
    EXPECT_EQ(done.status, row.status);
    EXPECT_EQ(done.err, "");
    const Response response = parse(done.out);
    const Keys succeeded{"helper", "ok", "pid", "stdout"},
        failed{"error", "helper", "message", "ok", "pid"};
    EXPECT_EQ(response.keys, row.status == 0 ? succeeded : failed);
    EXPECT_EQ(response.ok(), row.status == 0);
    EXPECT_EQ(response.str("helper"), "omvi-agent-runner");
    if (row.status == 0) {
      EXPECT_EQ(response.str("stdout"), "pong");
    } else {
      EXPECT_EQ(response.str("error").substr(0, row.error.size()), row.error);
      EXPECT_EQ(response.str("message"), response.str("error"));
    }
  }
}

TEST(Cli, HelpAndVersionPrintToStandardOutput) {
  for (const std::string flag : {"--help", "-h", "--version"}) {
    const Completed done = runRunner({flag});
    EXPECT_EQ(done.status, 0) << flag;
    EXPECT_EQ(done.err, "") << flag;
    EXPECT_NE(done.out, "") << flag;
  }
}

// Whether |pid| holds signal |number| blocked (its SigBlk line in /proc).
bool blocks(pid_t pid, int number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigBlk:"))
      return (std::stoull(line.substr(7), nullptr, 16) >> (number - 1)) & 1;
  }
  return false;
}

// TERM, INT or HUP while a child runs ends the child as a time limit would, and reaps it;
// while the request is still arriving on standard input, nothing is started. Either way the
// answer is one line, "cancelled", status 1.
TEST(Cli, ASignalCancelsTheRequestWithOneLineAndNoChildLeft) {
  for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
    for (const bool child : {true, false}) {
      SCOPED_TRACE(std::to_string(number) + (child ? " with a child" : " while reading"));
      int input[2];
      ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
      const int out = memfd_create("out", MFD_CLOEXEC), err = memfd_create("err", MFD_CLOEXEC);
      std::vector<std::string> argv{runnerBinary()};
      if (child) argv.insert(argv.end(), {"--json", R"({"op":"shell","command":"sleep 100"})"});
      const pid_t runner = spawn(argv, input[0], out, err);
      close(input[0]);
      std::string sleeper;
      ASSERT_TRUE(eventually([&] {
        if (!child) return blocks(runner, number);
        const std::vector<std::string> children = childrenOf(runner);
        if (!children.empty()) sleeper = children[0].substr(0, children[0].find(' '));
        return !children.empty();
      }));
      kill(runner, number);
      int waitStatus = 0;
      waitpid(runner, &waitStatus, 0);
      close(input[1]);
      EXPECT_EQ(exitStatus(waitStatus), 1);
      EXPECT_EQ(contents(err), "");
      EXPECT_EQ(parse(contents(out)).str("error"), "cancelled");
      if (child) {
        EXPECT_FALSE(std::filesystem::exists("/proc/" + sleeper));
      }
      close(out);
      close(err);
    }
  }
}

// Standard input read whole: a large request through a pipe, and request files the runner maps,
// ending exactly on a page boundary and just short of one, and one read from an offset that is
// not the file's start.
TEST(Cli, ARequestOnStandardInputIsReadWholeFromAPipeOrMappedFromAFile) {
  const TempDir dir;
  const std::string head =
      R"({"op":"write_file","workspace_root":)" + quote(dir.path()) + R"(,"path":"f","content":")";
  const Completed piped = runRunner({}, head + std::string(5 << 20, 'z') + "\"}");
  EXPECT_EQ(piped.status, 0) << piped.out;
  EXPECT_EQ(parse(piped.out).integers.at("written_bytes"), 5 << 20);
  for (const std::size_t total : {4096UL, 8192UL, 8190UL, 8130UL}) {
    const std::string request = head + std::string(total - head.size() - 2, 'q') + "\"}";
    std::ofstream(dir / "request.json", std::ios::binary) << "xyz" << request;
    const Completed done =
        run({"/bin/sh", "-c", "{ head -c 3 >/dev/null; \"$0\"; } < request.json", runnerBinary()},
            "", {}, dir.path());
    EXPECT_EQ(done.status, 0) << done.out;
    EXPECT_EQ(parse(done.out).integers.at("written_bytes"),
              static_cast<long long>(total - head.size() - 2));
  }
}

}  // namespace
}  // namespace omvi_test
