// Where the service listens, and how the socket file and its directory are made.
#include "runner/service/listening_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/test_support.h"

namespace OmviAgentRunnerMain {
namespace {

using Kind = SocketChoice::Kind;

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

}  // namespace
}  // namespace OmviAgentRunnerMain
