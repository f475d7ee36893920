// One client connection: reading its lines, handing its calls to the service, writing the
// replies.
//
// Owns: the peer's socket (closed when the connection ends), its line framing, the JSON-RPC
// envelope of each line, and the order of its output: each reply is written whole, in the
// order the calls complete, never interleaved with another. A reply is written straight
// from the worker that made it when nothing is queued before it; otherwise the I/O thread
// writes the queue. A connection ends once its peer has stopped sending (or the service
// stopped reading it), every call it made has replied, and every reply is written or the
// peer is gone.
// Does not own: answering a request (xpc_service.h) or accepting the peer (service.cc).
#pragma once

#include <asio.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "runner/posix.h"
#include "runner/service/line_framing.h"
#include "runner/service/xpc_service.h"

namespace OmviAgentRunnerMain {

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  /// Told, on the I/O thread, when the connection has ended and closed its socket.
  using Ended = std::function<void(Connection*)>;

  /// Takes |peer| (a connected, non-blocking, close-on-exec Unix stream socket); throws,
  /// closing it, when it cannot be watched by |io|. Every member but the reply path runs on
  /// the one thread that runs |io|.
  Connection(asio::io_context& io, UniqueFd peer, OmviAgentRunnerXPCService& service,
             std::size_t maxLineBytes, Ended ended);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Starts reading. I/O thread.
  void start();

  /// Reads nothing more from the peer; the calls already read still reply. I/O thread.
  void stopReading();

 private:
  void readMore();
  void onRead(const asio::error_code& error, std::size_t count);
  void dispatch(const FramedLine& line);
  void endReading();
  // Queues a message made on the I/O thread (an envelope error).
  void queue(std::string message);
  // Any thread: one call's reply, line feed included. Changes nothing when it throws.
  void deliverReply(std::string message);
  // With mutex_ held: writes as much of |message| as the socket takes now.
  std::size_t sendNow(std::string_view message);
  [[nodiscard]] bool overloaded() const;  // with mutex_ held
  void flush();
  void onWritten(const asio::error_code& error);
  void close();

  asio::io_context& io_;
  asio::local::stream_protocol::socket socket_;
  const int fd_;
  OmviAgentRunnerXPCService& service_;
  Ended ended_;

  // I/O thread only.
  LineFramer framer_;
  bool reading_ = false;  ///< a read is pending
  std::string sending_;   ///< the bytes of the write in progress

  // Shared with the workers that reply.
  mutable std::mutex mutex_;
  std::string outbox_;             ///< replies waiting for the write in progress
  std::size_t sendingBytes_ = 0;   ///< sending_.size() while a write is in progress
  std::size_t callsInFlight_ = 0;  ///< calls handed to the service and not yet replied
  bool writing_ = false;           ///< the I/O thread owns the socket's sending side
  bool broken_ = false;            ///< the peer is gone: replies are dropped
  bool readClosed_ = false;        ///< nothing more will be read
  bool paused_ = false;            ///< reading waits until fewer replies are pending
  bool closed_ = false;
};

}  // namespace OmviAgentRunnerMain
