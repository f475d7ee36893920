// Process hygiene over many requests: every child reaped, no descriptor left open, and a shell
// child that sees only descriptors 0, 1 and 2 whatever its runner inherited. The in-process
// half runs `handleJSONText`, the path every service request takes; the command-line half runs
// the real binary with this process as the subreaper of whatever it leaves behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "runner/entry.h"
#include "tests/e2e/hostile_transport.h"
#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

// Processes whose parent is this process, with their state letter ("Z" for a zombie).
std::vector<std::string> childrenOfThisProcess() {
  std::vector<std::string> children;
  const std::string self = std::to_string(getpid());
  const auto service = sharedServiceProcess();
  const std::string shared = service ? std::to_string(*service) : "";
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return children;
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(line.substr(close + 2));
    std::string state;
    std::string parent;
    fields >> state >> parent;
    if (parent == self && entry->d_name != shared)
      children.push_back(std::string(entry->d_name) + " " + state);
  }
  closedir(proc);
  return children;
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  DIR* fds = opendir("/proc/self/fd");
  while (const dirent* entry = readdir(fds)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(fds);
  return count - 1;  // the directory being read
}

// A shell command printing the numbers of the descriptors open in a program the shell starts
// (zsh keeps a private close-on-exec descriptor of its own, so the shell hands over to sh with
// exec). `[ -e ]` only stats, so the listing opens nothing itself.
const std::string kListDescriptors =
    "exec /bin/sh -c 'n=0; while [ $n -lt 1024 ]; do [ -e /proc/$$/fd/$n ] && "
    "printf \"%s \" $n; n=$((n+1)); done; true'";

// Descriptors this process leaves open across exec, so any child would inherit them.
class InheritableDescriptors {
 public:
  InheritableDescriptors() {
    for (int i = 0; i < 3; ++i)
      fds_.push_back(open("/dev/null", O_RDONLY));
    int pipeFds[2];
    if (pipe(pipeFds) == 0) fds_.insert(fds_.end(), {pipeFds[0], pipeFds[1]});
    fds_.push_back(fcntl(1, F_DUPFD, 200));
  }
  ~InheritableDescriptors() {
    for (const int fd : fds_)
      close(fd);
  }
  InheritableDescriptors(const InheritableDescriptors&) = delete;
  InheritableDescriptors& operator=(const InheritableDescriptors&) = delete;

 private:
  std::vector<int> fds_;
};

class ProcessHygiene : public ::testing::Test {
 protected:
  void SetUp() override {
    makeRepository(dir_.path());
    root_ = quote(dir_.path());
  }
  std::string request(const std::string& op, const std::string& fields = "") const {
    return "{\"op\":\"" + op + "\",\"workspace_root\":" + root_ + fields + "}";
  }

  TempDir dir_;
  std::string root_;
};

TEST_F(ProcessHygiene, ThousandsOfServedRequestsLeaveNoChildAndNoDescriptor) {
  const std::vector<std::string> mix = {
      request("shell", R"(,"command":"echo out; echo err >&2")"),
      request("git_status"),
      request("write_file", R"(,"path":"a/b.txt","content":"x")"),
      request("delete_file", R"(,"path":"a")"),
      request("shell", R"(,"command":"exit 3")"),
      request("apply_diff",
              R"(,"diff":"--- /dev/null\n+++ b/new\n@@ -0,0 +1 @@\n+x\n","dry_run":true)"),
      request("ping"),
      "{\"op\":",
  };
  (void)OmviAgentRunnerMain::handleJSONText(mix[0]);  // settle lazily opened descriptors
  const std::size_t descriptorsBefore = openDescriptors();
  for (int i = 0; i < 1200; ++i) {
    const std::string reply = OmviAgentRunnerMain::handleJSONText(mix[i % mix.size()]);
    ASSERT_FALSE(reply.empty());
  }
  EXPECT_EQ(childrenOfThisProcess(), std::vector<std::string>{});
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
}

TEST_F(ProcessHygiene, AServedShellSeesOnlyTheStandardDescriptors) {
  const InheritableDescriptors leaked;
  const Response response = parse(OmviAgentRunnerMain::handleJSONText(
                                      request("shell", ",\"command\":" + quote(kListDescriptors))) +
                                  "\n");
  EXPECT_EQ(response.str("stdout"), "0 1 2 ");
}

TEST_F(ProcessHygiene, CommandLineRunsLeaveNothingBehind) {
  // Orphans of the runner become this process's children, where they can be seen.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const std::vector<std::string> mix = {
      request("shell", R"(,"command":"echo out")"),
      request("git_status"),
      request("shell", R"(,"command":"echo err >&2; exit 3")"),
      request("ping"),
  };
  for (int i = 0; i < (OMVI_SANITIZED ? 40 : 100); ++i) {
    const Completed done = runRequest(mix[i % mix.size()]);
    ASSERT_EQ(done.err, "");
    ASSERT_NE(done.status, 2) << done.out;
  }
  EXPECT_EQ(childrenOfThisProcess(), std::vector<std::string>{});
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

TEST_F(ProcessHygiene, ACommandLineShellSeesOnlyTheStandardDescriptors) {
  const InheritableDescriptors leaked;  // inherited by the runner, never by its shell
  const Completed done = runRequest(request("shell", ",\"command\":" + quote(kListDescriptors)));
  EXPECT_EQ(done.status, 0) << done.out;
  EXPECT_EQ(parse(done.out).str("stdout"), "0 1 2 ");
}

}  // namespace
}  // namespace omvi_test
