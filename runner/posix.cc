#include "runner/posix.h"

#include <unistd.h>

#include <cstring>

namespace OmviAgentRunnerMain {

void UniqueFd::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string errnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which may or may not live in |buffer|.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace OmviAgentRunnerMain
