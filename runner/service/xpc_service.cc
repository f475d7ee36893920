#include "runner/service/xpc_service.h"

#include <utility>

#include "runner/entry.h"
#include "runner/records.h"
#include "runner/request_decoder.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

// A ping request is a few dozen bytes; anything longer goes to the workers undecoded.
constexpr std::size_t kLongestInlineRequest = 256;

}  // namespace

OmviAgentRunnerXPCService::OmviAgentRunnerXPCService(uid_t ownUid, std::size_t maxConcurrency,
                                                     int niceIncrement)
    : ownUid_(ownUid), pool_(maxConcurrency, niceIncrement) {}

bool OmviAgentRunnerXPCService::shouldAcceptNewConnection(uid_t peerUid) const {
  return peerUid == ownUid_ || peerUid == 0;
}

std::optional<std::string> OmviAgentRunnerXPCService::answerAtOnce(std::string_view request) const {
  if (request.size() > kLongestInlineRequest) return std::nullopt;
  const DecodedRequest decoded = decodeRequest(request);
  if (!decoded.request || lowercased(trimmed(decoded.request->op)) != "ping") return std::nullopt;
  return handleJSONText(request);
}

void OmviAgentRunnerXPCService::performRequest(WorkerPool::Lane& lane, std::string request,
                                               std::shared_ptr<ReplyTarget> reply) {
  pool_.submit(lane, [request = std::move(request), reply = std::move(reply)](bool cancelled) {
    // The worker's one border: whatever is thrown while answering or preparing leaves the
    // internal failure the target made beforehand, and the call is delivered once.
    try {
      reply->prepare(cancelled ? encodeToString(failure(std::string(kServiceStoppingText)))
                               : handleJSONText(request));
    } catch (...) {
    }
    reply->deliver();
  });
}

void OmviAgentRunnerXPCService::cancelQueued(WorkerPool::Lane& lane, bool onlyWhenBusy) {
  if (onlyWhenBusy && !pool_.saturated()) return;
  for (const auto& job : pool_.takeQueued(lane))
    job(true);
}

void OmviAgentRunnerXPCService::finish() {
  pool_.finish();
}

}  // namespace OmviAgentRunnerMain
