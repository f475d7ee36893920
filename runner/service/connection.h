// One client connection: reading its lines, handing its calls to the service, writing the
// replies, and keeping what the peer can make the service hold within its limits.
//
// Owns: the peer's socket (closed when the connection ends), its line framing, the JSON-RPC
// envelope of each line, and the order of its output: each reply is written whole, in the
// order the calls complete, never interleaved with another. A reply is written straight
// from the worker that made it when nothing is queued before it; otherwise the I/O thread
// writes the queue.
//
// Limits, all enforced here: the request bytes the connection holds (its unfinished line and
// its calls queued or running) against its own limit and the service's shared budget; its
// unsent replies, past which it reads nothing and its queued calls wait until the peer reads;
// an unfinished line that does not end in time; and, once the service stops, replies the
// peer does not take within the stop wait. A peer that hangs up has its queued calls dropped
// at once. A connection ends once its peer has stopped sending (or the service stopped
// reading it), every call it made has replied, and every reply is written or dropped.
// Does not own: answering a request (xpc_service.h) or accepting the peer (service.cc).
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runner/posix.h"
#include "runner/service/byte_budget.h"
#include "runner/service/line_framing.h"
#include "runner/service/reclaimer.h"
#include "runner/service/worker_pool.h"
#include "runner/service/xpc_service.h"

namespace OmviAgentRunnerMain {

/// What one connection may hold (ServiceOptions says where each comes from).
struct ConnectionLimits {
  std::size_t maxLineBytes = 0;
  std::size_t maxConnectionBytes = 0;  ///< its unfinished line plus its calls' requests
  std::size_t maxReplyBacklog = 0;     ///< unsent reply bytes before it stops reading
  std::chrono::milliseconds lineTimeout{0};
  std::chrono::milliseconds stopReplyWait{0};
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  /// Told, on the I/O thread, when the connection has ended and closed its socket.
  using Ended = std::function<void(Connection*)>;

  /// Takes |peer| (a connected, non-blocking, close-on-exec Unix stream socket); throws,
  /// closing it, when it cannot be watched by |io|. |limits| and |budget| outlive it. A
  /// worker that leaves work for the I/O thread writes to |wakeFd| (an eventfd), whose
  /// reader calls `onWake` on every connection. Every member but the reply path runs on
  /// the one thread that runs |io|.
  Connection(asio::io_context& io, UniqueFd peer, OmviAgentRunnerXPCService& service,
             const ConnectionLimits& limits, ByteBudget& budget, Reclaimer& reclaimer, int wakeFd,
             Ended ended);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Starts reading. I/O thread.
  void start();

  /// Reads nothing more from the peer; the calls already running still reply, those not
  /// started are answered "service_stopping", and from now on replies the peer does not
  /// take within the stop wait are dropped with the connection. I/O thread.
  void stop();

  /// Does what a worker asked of the I/O thread, if anything. I/O thread.
  void onWake();

  /// Any thread, once per call: the call's reply line (or nothing to send when |line| is
  /// empty), and the request bytes it held. Never throws.
  void deliverReply(std::list<std::string>& line, std::size_t heldBytes) noexcept;

 private:
  void readMore();
  void onRead(const asio::error_code& error, std::size_t count);
  void dispatch(const FramedLine& line);
  /// The line just framed, too long to read on the I/O thread, handed to a worker as it is.
  void dispatchUnread();
  // A call handed on holds |held| bytes of the budgets until its reply; and when handing it on
  // failed, no longer.
  void countCall(std::size_t held);
  void uncountCall(std::size_t held);
  // Answers |message| (an envelope error) and reads nothing more.
  void refuse(std::string message);
  void stopReading();
  void endReading();
  void watchHangUp();
  void peerGone();
  void armStallTimer();
  void onStall(const asio::error_code& error);
  // Charges the framer's buffer as it is now against the budgets.
  void settleBufferCharge();
  // Queues a message made on the I/O thread (an envelope error, a ping's reply).
  void queue(std::string message);
  // Writes as much of |message| as the socket takes now; |failed| when the peer is gone. By
  // the thread that holds the sending side (writing_).
  std::size_t sendNow(std::string_view message, bool& failed) const;
  // With mutex_ held, once a call's reply is written or queued: counts the call done and holds
  // the lane when the peer reads too slowly. True when the I/O thread has work from it.
  [[nodiscard]] bool settleReply();
  [[nodiscard]] bool overloaded() const;   // with mutex_ held
  [[nodiscard]] bool overBacklog() const;  // with mutex_ held
  void wakeIo();                           // never with mutex_ held
  void flush();
  void onWritten(const asio::error_code& error);
  void close();

  asio::io_context& io_;
  asio::local::stream_protocol::socket socket_;
  const int fd_;
  OmviAgentRunnerXPCService& service_;
  const ConnectionLimits& limits_;
  ByteBudget& budget_;
  Reclaimer& reclaimer_;
  const int wakeFd_;
  Ended ended_;
  WorkerPool::Lane lane_;  ///< its fields belong to the pool

  // I/O thread only.
  LineFramer framer_;
  bool reading_ = false;  ///< a read is pending
  asio::steady_timer stallTimer_;
  bool stallArmed_ = false;
  std::chrono::steady_clock::time_point lineSince_{};
  asio::steady_timer drainTimer_;
  bool drainArmed_ = false;
  std::list<std::string> sending_;  ///< the replies of the write in progress
  std::vector<asio::const_buffer> buffers_;

  // Shared with the workers that reply: the wake flag on its own, the rest under mutex_.
  std::atomic<bool> wakeWanted_{false};  ///< written to the wake eventfd, not yet looked at
  mutable std::mutex mutex_;
  std::list<std::string> outbox_;  ///< replies waiting for the write in progress
  std::size_t outboxBytes_ = 0;
  std::size_t sendingBytes_ = 0;   ///< bytes of sending_ while a write is in progress
  std::size_t callsInFlight_ = 0;  ///< calls handed to the service and not yet replied
  std::size_t callBytes_ = 0;      ///< request bytes those calls hold
  std::size_t bufferBytes_ = 0;    ///< the framer's buffer beyond what every connection may keep
  bool writing_ = false;     ///< a thread (I/O or a worker with its reply) holds the sending side
  bool broken_ = false;      ///< the peer is gone: replies are dropped
  bool readClosed_ = false;  ///< nothing more will be read
  bool paused_ = false;      ///< reading waits until the connection holds less
  bool held_ = false;        ///< its queued calls wait until the peer reads
  bool stopping_ = false;
  bool closed_ = false;
};

}  // namespace OmviAgentRunnerMain
