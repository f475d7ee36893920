#include "runner/service/service.h"

namespace OmviAgentRunnerMain {

int runService(std::span<const std::string> /*arguments*/) {
  // Not served yet: the service mode ends at once.
  return 1;
}

}  // namespace OmviAgentRunnerMain
