#include "runner/service/xpc_service.h"

#include <exception>
#include <utility>

#include "runner/entry.h"
#include "runner/records.h"

namespace OmviAgentRunnerMain {
namespace {

std::string internalFailure(const char* what) noexcept {
  try {
    return encodeToString(failure(std::string("internal_error: ") + what));
  } catch (...) {
    return std::string(kEncodeFailedText);
  }
}

}  // namespace

OmviAgentRunnerXPCService::OmviAgentRunnerXPCService(uid_t ownUid, std::size_t maxConcurrency)
    : ownUid_(ownUid), pool_(maxConcurrency) {}

bool OmviAgentRunnerXPCService::shouldAcceptNewConnection(uid_t peerUid) const {
  return peerUid == ownUid_ || peerUid == 0;
}

void OmviAgentRunnerXPCService::performRequest(std::string request, Reply reply) {
  pool_.submit([request = std::move(request), reply = std::move(reply)] {
    // The worker's one border: whatever escapes the answer, or the reply before it has
    // taken the answer, is answered as an internal failure instead.
    try {
      reply(handleJSONText(request));
    } catch (const std::exception& error) {
      reply(internalFailure(error.what()));
    } catch (...) {
      reply(internalFailure("unknown"));
    }
  });
}

void OmviAgentRunnerXPCService::finish() {
  pool_.finish();
}

}  // namespace OmviAgentRunnerMain
