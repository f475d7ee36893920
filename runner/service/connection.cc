#include "runner/service/connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <variant>

#include "runner/records.h"
#include "runner/service/json_rpc.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
// Past these, the peer's further lines wait until it has read some replies: a peer that
// sends without reading cannot make the service hold unbounded work or output.
constexpr std::size_t kMaxCallsInFlight = 1024;
constexpr std::size_t kMaxPendingOutput = std::size_t{8} * 1024 * 1024;
// A write buffer larger than this is given back after use.
constexpr std::size_t kKeptSendCapacity = std::size_t{1024} * 1024;

}  // namespace

Connection::Connection(asio::io_context& io, UniqueFd peer, OmviAgentRunnerXPCService& service,
                       std::size_t maxLineBytes, Ended ended)
    : io_(io),
      socket_(io),
      fd_(peer.get()),
      service_(service),
      ended_(std::move(ended)),
      framer_(maxLineBytes) {
  asio::error_code error;
  socket_.assign(asio::local::stream_protocol(), peer.get(), error);
  if (error) throw asio::system_error(error);  // |peer| still owns the descriptor
  (void)peer.release();
}

Connection::~Connection() = default;

void Connection::start() {
  readMore();
}

void Connection::stopReading() {
  if (reading_) {
    // The pending read ends with end-of-file once what the peer already sent is read.
    ::shutdown(fd_, SHUT_RD);
  } else {
    endReading();
  }
}

void Connection::readMore() {
  std::span<char> room;
  try {
    room = framer_.prepare(kReadChunk);
  } catch (const std::bad_alloc&) {
    // No memory for the line the peer is sending: it gets no further lines read.
    endReading();
    return;
  }
  reading_ = true;
  socket_.async_read_some(
      asio::buffer(room.data(), room.size()),
      [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
        self->onRead(error, count);
      });
}

void Connection::onRead(const asio::error_code& error, std::size_t count) {
  reading_ = false;
  if (error) {
    // End of file, a reset or a cancelled read: an unfinished last line is dropped.
    endReading();
    return;
  }
  framer_.commit(count);
  while (const auto line = framer_.nextLine()) {
    dispatch(*line);
  }
  if (framer_.overflowed()) {
    queue(encodeError(RpcError{"null", RpcErrorCode::kInvalidRequest, "request too large"}));
    endReading();
    return;
  }
  bool pause = false;
  {
    const std::lock_guard lock(mutex_);
    pause = overloaded();
    paused_ = pause;
  }
  flush();  // resumes reading itself once a paused connection may read again
  if (!pause) readMore();
}

void Connection::dispatch(const FramedLine& line) {
  auto decoded = decodeCall(line.text, line.readable);
  if (auto* error = std::get_if<RpcError>(&decoded)) {
    queue(encodeError(*error));
    return;
  }
  auto& call = std::get<RpcCall>(decoded);
  {
    const std::lock_guard lock(mutex_);
    ++callsInFlight_;
  }
  try {
    service_.performRequest(std::move(call.request),
                            [self = shared_from_this(), id = call.id](const std::string& reply) {
                              self->deliverReply(encodeResult(id, reply) + '\n');
                            });
  } catch (const std::exception& error) {
    // The call could not even be queued.
    {
      const std::lock_guard lock(mutex_);
      --callsInFlight_;
    }
    queue(encodeResult(call.id,
                       encodeToString(failure(std::string("internal_error: ") + error.what()))));
  }
}

void Connection::endReading() {
  {
    const std::lock_guard lock(mutex_);
    readClosed_ = true;
    paused_ = false;
  }
  flush();
}

void Connection::queue(std::string message) {
  message.push_back('\n');
  const std::lock_guard lock(mutex_);
  if (!broken_) outbox_ += message;
}

std::size_t Connection::sendNow(std::string_view message) {
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t wrote =
        ::send(fd_, message.data() + sent, message.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno == EINTR) {
      continue;
    } else {
      if (wrote == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) broken_ = true;
      break;
    }
  }
  return sent;
}

bool Connection::overloaded() const {
  return callsInFlight_ >= kMaxCallsInFlight || outbox_.size() + sendingBytes_ >= kMaxPendingOutput;
}

void Connection::deliverReply(std::string message) {
  bool wakeIo = false;
  {
    const std::lock_guard lock(mutex_);
    if (broken_) {
      // The peer is gone: the reply is dropped.
    } else if (!writing_ && outbox_.empty()) {
      // Nothing is queued before this reply: write it from here, and leave only what the
      // socket would not take now to the I/O thread (erase and swap allocate nothing, so
      // nothing can fail once part of the reply is out).
      const std::size_t sent = sendNow(message);
      if (!broken_ && sent < message.size()) {
        message.erase(0, sent);
        outbox_.swap(message);
        wakeIo = true;
      }
    } else {
      // A write is in progress (its end flushes the queue), or a flush is already due. If
      // appending runs out of memory nothing has changed yet, and the caller replies again.
      outbox_ += message;
    }
    --callsInFlight_;
    if (callsInFlight_ == 0 && readClosed_) wakeIo = true;
    if (paused_ && !overloaded()) wakeIo = true;
  }
  if (wakeIo) asio::post(io_, [self = shared_from_this()] { self->flush(); });
}

void Connection::flush() {
  bool resume = false;
  bool write = false;
  {
    std::unique_lock lock(mutex_);
    if (closed_ || writing_) return;
    if (broken_) outbox_.clear();
    if (paused_ && !readClosed_ && !overloaded()) {
      paused_ = false;
      resume = true;
    }
    if (outbox_.empty()) {
      if (readClosed_ && callsInFlight_ == 0) {
        closed_ = true;
        lock.unlock();
        close();
        return;
      }
    } else {
      sending_.swap(outbox_);
      sendingBytes_ = sending_.size();
      writing_ = true;
      write = true;
    }
  }
  if (resume) readMore();
  if (!write) return;
  asio::async_write(socket_, asio::buffer(sending_),
                    [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                      self->onWritten(error);
                    });
}

void Connection::onWritten(const asio::error_code& error) {
  {
    const std::lock_guard lock(mutex_);
    writing_ = false;
    sendingBytes_ = 0;
    if (error) broken_ = true;
  }
  sending_.clear();
  if (sending_.capacity() > kKeptSendCapacity) sending_.shrink_to_fit();
  flush();
}

void Connection::close() {
  asio::error_code ignored;
  socket_.close(ignored);
  if (ended_) ended_(this);
}

}  // namespace OmviAgentRunnerMain
