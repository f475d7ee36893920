// A service that has answered thousands of calls holds no more descriptors, children or
// memory than it did after its first few hundred.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/service_support.h"

namespace omvi_test {
namespace {

// Sanitizers hold freed memory back on purpose (ASan's quarantine), so there the service's
// resident size says nothing about leaks; LeakSanitizer watches those builds instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeMeans = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kResidentSizeMeans = false;
#else
constexpr bool kResidentSizeMeans = true;
#endif
#else
constexpr bool kResidentSizeMeans = true;
#endif

// The service's open descriptors, and how many of them are sockets.
struct Descriptors {
  std::size_t all = 0;
  std::size_t sockets = 0;
};

Descriptors openDescriptors(pid_t pid) {
  Descriptors count;
  const std::string directory = "/proc/" + std::to_string(pid) + "/fd";
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return count;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    char target[256] = {};
    const std::string link = directory + "/" + entry->d_name;
    if (readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
    ++count.all;
    count.sockets += std::string_view(target).starts_with("socket:");
  }
  closedir(listing);
  return count;
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Children of |pid|, zombies included.
std::size_t children(pid_t pid) {
  std::size_t count = 0;
  DIR* proc = opendir("/proc");
  while (const dirent* entry = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    // pid (comm) state ppid ...: the command name may hold spaces, so read after its ')'.
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    std::string state;
    pid_t parent = 0;
    rest >> state >> parent;
    count += parent == pid;
  }
  closedir(proc);
  return count;
}

TEST(ServiceHygiene, ThousandsOfCallsLeaveNothingBehind) {
  useHermeticEnvironment();
  const TempDir dir;
  const std::string socket = dir / "runner.sock";
  ServiceProcess service(ServiceProcess::runnerServing(socket));
  ASSERT_TRUE(service.ready());
  const std::string root = quote(dir / "ws");
  const std::string requests[] = {
      R"({"op":"ping"})",
      shellRequest("echo out; echo err >&2"),
      R"({"op":"write_file","workspace_root":)" + root + R"(,"path":"a/b.txt","content":"x"})",
      R"({"op":"delete_file","workspace_root":)" + root + R"(,"path":"a"})",
      R"({"op":"write_file","workspace_root":)" + root + R"(,"path":"../out","content":"x"})",
      "not json",
  };
  // Each round: four connections, each with a stream of calls in flight, every reply read.
  auto round = [&](int callsPerConnection) {
    std::vector<std::unique_ptr<ServiceClient>> clients;
    for (int c = 0; c < 4; ++c)
      clients.push_back(std::make_unique<ServiceClient>(socket));
    for (int i = 0; i < callsPerConnection; ++i) {
      for (auto& client : clients)
        ASSERT_TRUE(client->call(i, requests[i % std::size(requests)]));
    }
    for (auto& client : clients) {
      for (int i = 0; i < callsPerConnection; ++i)
        ASSERT_TRUE(client->readLine());
    }
  };
  // Closed connections are noticed by the service a moment after the client closes them;
  // then only the listening socket is left.
  auto settled = [&] {
    const auto until = std::chrono::steady_clock::now() + kServiceDeadline;
    while (openDescriptors(service.pid()).sockets != 1) {
      if (std::chrono::steady_clock::now() >= until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // nothing to wait on
    }
    return openDescriptors(service.pid());
  };
  round(100);
  const Descriptors warm = settled();
  ASSERT_EQ(warm.sockets, 1U);
  const long resident = residentKiB(service.pid());
  for (int i = 0; i < 5; ++i)
    round(100);

  const Descriptors after = settled();
  EXPECT_EQ(after.sockets, 1U);
  EXPECT_EQ(after.all, warm.all);
  if (kResidentSizeMeans) {
    EXPECT_LE(residentKiB(service.pid()), resident + 4096);
  }
  EXPECT_EQ(children(service.pid()), 0U);
}

}  // namespace
}  // namespace omvi_test
