// The service object: on Linux, "the XPC service" is the Unix-socket service, and this is the
// object every connection hands its calls to.
//
// Owns: the decision to accept a connection (`shouldAcceptNewConnection`, the peer check),
// and `performRequest`, which answers one request text through `handleJSONText` on a worker
// thread and replies exactly once.
// Does not own: sockets, framing or the JSON-RPC envelope (connection.h, json_rpc.h).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

#include "runner/service/worker_pool.h"

namespace OmviAgentRunnerMain {

/// Calls that may run at once unless "--max-concurrency" says otherwise.
inline constexpr std::size_t kDefaultMaxConcurrency = 64;

class OmviAgentRunnerXPCService {
 public:
  /// Receives the reply text; called once per call, on a worker thread. It may throw only
  /// before it has taken the text (out of memory), and is then called once more with an
  /// "internal_error: " failure.
  using Reply = std::function<void(std::string)>;

  /// |ownUid| is the user the service runs as. Starts one worker thread (throws
  /// std::system_error when it cannot).
  OmviAgentRunnerXPCService(uid_t ownUid, std::size_t maxConcurrency);

  /// Whether a connection whose peer runs as |peerUid| may be served: the service's own user
  /// and root may, nobody else.
  [[nodiscard]] bool shouldAcceptNewConnection(uid_t peerUid) const;

  /// Returns at once. On a worker thread, passes |request| (any bytes; text that is not valid
  /// UTF-8 is answered "invalid_utf8_request") to `handleJSONText` and calls |reply| once
  /// with its answer. Anything thrown on the way is answered as an "internal_error: "
  /// failure. Up to maxConcurrency calls run at once; more wait their turn.
  void performRequest(std::string request, Reply reply);

  /// Waits until every call made so far has replied, then stops the workers. Call once, from
  /// outside the workers, after the last `performRequest`.
  void finish();

 private:
  uid_t ownUid_;
  WorkerPool pool_;
};

}  // namespace OmviAgentRunnerMain
