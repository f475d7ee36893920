// Process hygiene of the command line: whatever the runner starts is reaped before it answers,
// and a shell child sees only descriptors 0, 1 and 2 whatever its runner inherited. (The
// service's side is tests/service/service_hygiene_test.cc.)
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/test_support.h"
#include "tests/support/transports.h"

namespace omvi_test {
namespace {

TEST(ProcessHygiene, CommandLineRunsLeaveNothingBehind) {
  const TempDir dir;
  makeRepository(dir.path());
  const std::string root = ",\"workspace_root\":" + quote(dir.path());
  const std::string mix[] = {
      R"({"op":"shell","command":"echo out")" + root + "}",
      R"({"op":"git_status")" + root + "}",
      R"({"op":"shell","command":"echo err >&2; exit 3")" + root + "}",
      R"({"op":"ping"})",
  };
  // A thousand runs (fewer under sanitizers, where each start is slow). Orphans of the runner
  // become this process's children, where they can be seen.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  for (int i = 0; i < (OMVI_SANITIZED ? 100 : 1000); ++i) {
    const Completed done = runRequest(mix[i % std::size(mix)]);
    ASSERT_EQ(done.err, "");
    ASSERT_NE(done.status, 2) << done.out;
  }
  std::vector<std::string> children = childrenOf(getpid());
  if (const auto shared = sharedServiceProcess()) {
    std::erase_if(children, [&](const std::string& child) {
      return child.starts_with(std::to_string(*shared) + " ");
    });
  }
  EXPECT_EQ(children, std::vector<std::string>{});
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

TEST(ProcessHygiene, ACommandLineShellSeesOnlyTheStandardDescriptors) {
  const InheritedDescriptors leaked;  // inherited by the runner, never by its shell
  // zsh keeps a private close-on-exec descriptor of its own, so it hands over to sh with exec;
  // `[ -e ]` only stats, so the listing opens nothing itself.
  const std::string list =
      "exec /bin/sh -c 'n=0; while [ $n -lt 1024 ]; do [ -e /proc/$$/fd/$n ] && "
      "printf \"%s \" $n; n=$((n+1)); done; true'";
  const Completed done = runRequest(R"({"op":"shell","command":)" + quote(list) + "}");
  EXPECT_EQ(done.status, 0) << done.out;
  EXPECT_EQ(parse(done.out).str("stdout"), "0 1 2 ");
}

}  // namespace
}  // namespace omvi_test
