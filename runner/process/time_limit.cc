#include "runner/process/time_limit.h"

#include <algorithm>

namespace OmviAgentRunnerMain {

double timeLimit(const std::optional<double>& timeout, TimeLimitRule rule) {
  return std::max(timeout.value_or(rule.fallback), rule.floor);
}

}  // namespace OmviAgentRunnerMain
