#include "runner/process/call_context.h"

namespace OmviAgentRunnerMain {
namespace {

const CallContext kNoContext{};
thread_local const CallContext* installed = nullptr;

}  // namespace

const CallContext& currentCallContext() {
  return installed != nullptr ? *installed : kNoContext;
}

ScopedCallContext::ScopedCallContext(const CallContext& context) : previous_(installed) {
  installed = &context;
}

ScopedCallContext::~ScopedCallContext() {
  installed = previous_;
}

}  // namespace OmviAgentRunnerMain
