// The service object: on Linux, "the XPC service" is the Unix-socket service, and this is the
// object every connection hands its calls to.
//
// Owns: the decision to accept a connection (`shouldAcceptNewConnection`, the peer check),
// and `performRequest`, which answers one request text through `handleJSONText` on a worker
// thread and replies exactly once; the worker turn is the one border where anything thrown
// becomes the internal failure made beforehand. A ping is answered at once on the caller's
// thread, so it never waits behind busy workers.
// Does not own: sockets, framing or the JSON-RPC envelope (connection.h, json_rpc.h).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runner/service/worker_pool.h"

namespace OmviAgentRunnerMain {

/// Calls that may run at once unless "--max-concurrency" says otherwise.
inline constexpr std::size_t kDefaultMaxConcurrency = 64;

/// The response text of a call that was queued but not started when the service stopped.
inline constexpr std::string_view kServiceStoppingText = "service_stopping";

/// Where one call's answer goes, in two steps so that nothing thrown can answer twice:
/// `prepare` builds the message (and may throw, changing nothing), then `deliver` hands on
/// the message prepared, or the internal failure the target made when the call was queued.
class ReplyTarget {
 public:
  virtual ~ReplyTarget() = default;
  virtual void prepare(std::string_view answer) = 0;
  /// Called exactly once per call.
  virtual void deliver() noexcept = 0;
};

class OmviAgentRunnerXPCService {
 public:
  /// |ownUid| is the user the service runs as. Starts one worker thread (throws
  /// std::system_error when it cannot). The workers, and the children of calls with them, run
  /// |niceIncrement| nice levels below the caller's thread.
  OmviAgentRunnerXPCService(uid_t ownUid, std::size_t maxConcurrency, int niceIncrement = 0);

  /// Whether a connection whose peer runs as |peerUid| may be served: the service's own user
  /// and root may, nobody else.
  [[nodiscard]] bool shouldAcceptNewConnection(uid_t peerUid) const;

  /// The answer to |request| when it is a ping (a short request whose `op` is "ping"),
  /// computed here and now; nothing for any other request.
  [[nodiscard]] std::optional<std::string> answerAtOnce(std::string_view request) const;

  /// Returns at once; changes nothing when it throws. On a worker thread, in |lane|'s turn,
  /// passes |request| (any bytes; text that is not valid UTF-8 is answered
  /// "invalid_utf8_request") to `handleJSONText`, prepares |reply| with its answer and
  /// delivers it. Up to maxConcurrency calls run at once; more wait their turn.
  void performRequest(WorkerPool::Lane& lane, std::string request,
                      std::shared_ptr<ReplyTarget> reply);

  /// Returns at once; changes nothing when it throws. Runs |job| on a worker thread in
  /// |lane|'s turn, as `performRequest` runs its own (with true when it is dropped before it
  /// starts, see `cancelQueued`). |job| must not throw and must reply exactly once.
  void perform(WorkerPool::Lane& lane, WorkerPool::Job job) { pool_.submit(lane, std::move(job)); }

  /// The lane's hold and release (see WorkerPool).
  void hold(WorkerPool::Lane& lane) noexcept { pool_.hold(lane); }
  void release(WorkerPool::Lane& lane) { pool_.release(lane); }

  /// Answers, here and now, every call of |lane| not yet started: with the failure
  /// "service_stopping". With |onlyWhenBusy|, only when
  /// every worker is busy (a peer that hung up: what would start at once still runs).
  void cancelQueued(WorkerPool::Lane& lane, bool onlyWhenBusy = false);

  /// Waits until every call made so far has replied, then stops the workers. Call once, from
  /// outside the workers, after the last `performRequest`.
  void finish();

 private:
  uid_t ownUid_;
  WorkerPool pool_;
};

}  // namespace OmviAgentRunnerMain
