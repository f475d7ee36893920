#include "runner/service/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <variant>

#include "runner/entry.h"
#include "runner/records.h"
#include "runner/service/json_rpc.h"

namespace OmviAgentRunnerMain {
namespace {

// A read takes at most this much, so that one busy peer cannot hold the I/O thread for long.
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
// Past this many calls in flight the peer's further lines wait, whatever their size.
constexpr std::size_t kMaxCallsInFlight = 1024;
// The buffer every connection may keep without drawing on the budgets: an idle framer's.
constexpr std::size_t kFreeBuffer = std::size_t{64} * 1024 + kFramePadding;
// What a call holds besides its request text: its job, its reply target, its fallback line.
constexpr std::size_t kCallOverhead = 1024;
// Replies gathered into one write.
constexpr std::size_t kWriteBatch = 64;
// Lines longer than this are read on a worker: decoding megabytes would hold up the I/O
// thread, and with it every other peer's ping.
constexpr std::size_t kLongestLineReadHere = std::size_t{64} * 1024;

std::size_t chargeable(std::size_t capacity) {
  return capacity > kFreeBuffer ? capacity - kFreeBuffer : 0;
}

// The answer a call gets when its own could not be built (out of memory).
const std::string& internalFailureAnswer() {
  static const std::string answer =
      encodeToString(failure("internal_error: the answer could not be built"));
  return answer;
}

// The reply to a call that could not be handed on.
std::string internalErrorLine(std::string_view id, const std::exception& error) {
  return encodeResult(id, encodeToString(failure(std::string("internal_error: ") + error.what())));
}

std::string envelopeError(RpcErrorCode code, std::string_view message) {
  return encodeError(RpcError{"null", code, std::string(message)});
}

// One call on its way through a worker: its reply line, made first as the internal failure
// so that delivering never needs memory.
class Call final : public ReplyTarget {
 public:
  Call(std::shared_ptr<Connection> connection, std::string id, std::size_t heldBytes)
      : connection_(std::move(connection)), id_(std::move(id)), heldBytes_(heldBytes) {
    line_.push_back(encodeResult(id_, internalFailureAnswer()) + '\n');
  }

  void prepare(std::string_view answer) override {
    std::string text = encodeResult(id_, answer);
    text.push_back('\n');
    line_.front() = std::move(text);
  }

  void deliver() noexcept override { connection_->deliverReply(line_, heldBytes_); }

  /// For a call whose line is read on the worker: its id, once read there.
  void identify(std::string id) {
    id_ = std::move(id);
    line_.front() = encodeResult(id_, internalFailureAnswer()) + '\n';
  }

  /// For such a line that is no call: the error that answers it.
  void prepareError(const RpcError& error) { line_.front() = encodeError(error) + '\n'; }

 private:
  std::shared_ptr<Connection> connection_;
  std::string id_;
  std::size_t heldBytes_;
  std::list<std::string> line_;  ///< one node, spliced into the outbox without allocating
};

}  // namespace

Connection::Connection(asio::io_context& io, UniqueFd peer, OmviAgentRunnerXPCService& service,
                       const ConnectionLimits& limits, ByteBudget& budget, Reclaimer& reclaimer,
                       int wakeFd, Ended ended)
    : io_(io),
      socket_(io),
      fd_(peer.get()),
      service_(service),
      limits_(limits),
      budget_(budget),
      reclaimer_(reclaimer),
      wakeFd_(wakeFd),
      ended_(std::move(ended)),
      framer_(limits.maxLineBytes),
      stallTimer_(io),
      drainTimer_(io) {
  buffers_.reserve(kWriteBatch);
  asio::error_code error;
  socket_.assign(asio::local::stream_protocol(), peer.get(), error);
  if (error) throw asio::system_error(error);  // |peer| still owns the descriptor
  (void)peer.release();
}

Connection::~Connection() = default;

void Connection::start() {
  watchHangUp();
  readMore();
}

void Connection::watchHangUp() {
  // A peer that closes its end raises a hang-up on ours, seen even while reading is paused.
  socket_.async_wait(asio::socket_base::wait_error,
                     [self = shared_from_this()](const asio::error_code& error) {
                       if (!error) self->peerGone();
                     });
}

void Connection::peerGone() {
  bool held = false;
  {
    const std::lock_guard lock(mutex_);
    broken_ = true;
    held = held_;
  }
  // Calls still waiting for a worker would only be answered to nobody: they are dropped,
  // unless a free worker would start them at once anyway (they then run as if the peer had
  // stayed).
  service_.cancelQueued(lane_, /*onlyWhenBusy=*/!held);
  // A pending read ends by itself, with end-of-file; a paused reader stops here.
  if (!reading_) {
    endReading();
  } else {
    flush();
  }
}

void Connection::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  service_.cancelQueued(lane_);
  stopReading();
  flush();
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
  // Growing the buffer past what every connection keeps draws on the connection's own limit
  // and on the shared budget, before anything is allocated.
  const std::size_t wanted = chargeable(framer_.capacityAfter(kReadChunk));
  bool pause = false;
  bool ownLimit = false;
  bool refused = false;
  {
    const std::lock_guard lock(mutex_);
    if (wanted > bufferBytes_) {
      ownLimit = callBytes_ + wanted > limits_.maxConnectionBytes;
      if (ownLimit || !budget_.fits(wanted - bufferBytes_)) {
        // With calls of its own in flight, their end makes room; without, nothing will.
        pause = callsInFlight_ > 0;
        refused = !pause;
        paused_ = pause;
      }
    }
  }
  if (pause) {
    framer_.releaseIfEmpty();
    settleBufferCharge();
    return;  // a call's reply resumes reading
  }
  if (refused) {
    refuse(ownLimit ? envelopeError(RpcErrorCode::kInvalidRequest, "request too large")
                    : envelopeError(RpcErrorCode::kServiceBusy,
                                    "service busy: too many request bytes buffered"));
    return;
  }
  std::span<char> room;
  try {
    room = framer_.prepare(kReadChunk);
  } catch (const std::bad_alloc&) {
    refuse(envelopeError(RpcErrorCode::kServiceBusy, "service busy: out of memory"));
    return;
  }
  settleBufferCharge();
  reading_ = true;
  socket_.async_read_some(
      asio::buffer(room.data(), std::min(room.size(), kReadChunk)),
      [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
        self->onRead(error, count);
      });
}

void Connection::settleBufferCharge() {
  const std::size_t now = chargeable(framer_.capacity());
  const std::lock_guard lock(mutex_);
  if (now > bufferBytes_) budget_.add(now - bufferBytes_);
  if (now < bufferBytes_) budget_.give(bufferBytes_ - now);
  bufferBytes_ = now;
}

void Connection::onRead(const asio::error_code& error, std::size_t count) {
  reading_ = false;
  if (error) {
    // End of file, a reset or a cancelled read: an unfinished last line is dropped.
    endReading();
    return;
  }
  framer_.commit(count);
  bool lines = false;
  while (const auto line = framer_.nextLine()) {
    dispatch(*line);
    lines = true;
  }
  if (framer_.overflowed()) {
    refuse(envelopeError(RpcErrorCode::kInvalidRequest, "request too large"));
    return;
  }
  if (framer_.pendingBytes() == 0) {
    stallTimer_.cancel();
    stallArmed_ = false;
  } else if (lines || !stallArmed_) {
    armStallTimer();  // a new line began
  }
  bool pause = false;
  {
    const std::lock_guard lock(mutex_);
    pause = overloaded();
    paused_ = pause;
  }
  if (pause) {
    framer_.releaseIfEmpty();
    settleBufferCharge();
  }
  flush();  // resumes reading itself once a paused connection may read again
  if (!pause) readMore();
}

void Connection::armStallTimer() {
  stallArmed_ = true;
  lineSince_ = std::chrono::steady_clock::now();
  stallTimer_.expires_at(lineSince_ + limits_.lineTimeout);
  stallTimer_.async_wait(
      [self = shared_from_this(), since = lineSince_](const asio::error_code& error) {
        if (!error && self->stallArmed_ && self->lineSince_ == since) self->onStall(error);
      });
}

void Connection::onStall(const asio::error_code&) {
  stallArmed_ = false;
  if (framer_.pendingBytes() == 0) return;
  bool waiting = false;
  {
    const std::lock_guard lock(mutex_);
    if (readClosed_) return;
    waiting = paused_;
  }
  if (waiting) {
    armStallTimer();  // the service, not the peer, holds the line up: a fresh wait
    return;
  }
  refuse(envelopeError(RpcErrorCode::kInvalidRequest, "request line not finished in time"));
}

void Connection::dispatch(const FramedLine& line) {
  if (line.text.size() > kLongestLineReadHere) return dispatchUnread();
  auto decoded = decodeCall(line.text, line.readable);
  if (auto* error = std::get_if<RpcError>(&decoded)) {
    queue(encodeError(*error));
    return;
  }
  auto& call = std::get<RpcCall>(decoded);
  const std::size_t held = call.request.size() + kCallOverhead;
  bool counted = false;
  // The dispatcher's border: a call that cannot be handed on (out of memory) is answered
  // here, and only here.
  try {
    if (auto answer = service_.answerAtOnce(call.request)) {
      queue(encodeResult(call.id, *answer));
      return;
    }
    auto target = std::make_shared<Call>(shared_from_this(), call.id, held);
    countCall(held);
    counted = true;
    service_.performRequest(lane_, std::move(call.request), std::move(target));
  } catch (const std::exception& error) {
    if (counted) uncountCall(held);
    queue(internalErrorLine(call.id, error));
  }
}

void Connection::dispatchUnread() {
  std::size_t held = 0;
  bool counted = false;
  // As in `dispatch`: a call that cannot be handed on (out of memory) is answered here.
  try {
    // The line leaves with its buffer, uncopied; its bytes are the call's from here on.
    auto line = std::make_shared<OwnedLine>(framer_.takeLastLine());
    settleBufferCharge();
    held = line->offset + line->readable + kCallOverhead;
    auto target = std::make_shared<Call>(shared_from_this(), "null", held);
    countCall(held);
    counted = true;
    service_.perform(lane_, [line = std::move(line), target](bool cancelled) mutable noexcept {
      // The worker's border, as for every call: whatever is thrown leaves the internal failure
      // prepared beforehand. A call dropped before it starts (its peer left) is not read.
      try {
        if (!cancelled) {
          auto decoded = decodeCall(line->text(), line->readable);
          line.reset();
          if (auto* error = std::get_if<RpcError>(&decoded)) {
            target->prepareError(*error);
          } else {
            auto& call = std::get<RpcCall>(decoded);
            target->identify(std::move(call.id));
            target->prepare(handleJSONText(call.request));
          }
        }
      } catch (...) {
      }
      target->deliver();
    });
  } catch (const std::exception& error) {
    if (counted) uncountCall(held);
    queue(internalErrorLine("null", error));
  }
}

void Connection::countCall(std::size_t held) {
  {
    const std::lock_guard lock(mutex_);
    ++callsInFlight_;
    callBytes_ += held;
  }
  budget_.add(held);
}

void Connection::uncountCall(std::size_t held) {
  budget_.give(held);
  const std::lock_guard lock(mutex_);
  --callsInFlight_;
  callBytes_ -= held;
}

void Connection::refuse(std::string message) {
  queue(std::move(message));
  stopReading();
}

void Connection::endReading() {
  stallTimer_.cancel();
  stallArmed_ = false;
  framer_.discard();
  settleBufferCharge();
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
  if (broken_) return;
  outboxBytes_ += message.size();
  outbox_.push_back(std::move(message));
}

std::size_t Connection::sendNow(std::string_view message, bool& failed) const {
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t wrote =
        ::send(fd_, message.data() + sent, message.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
    } else if (wrote < 0 && errno == EINTR) {
      continue;
    } else {
      failed = wrote == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
      break;
    }
  }
  return sent;
}

bool Connection::overBacklog() const {
  return outboxBytes_ + sendingBytes_ >= limits_.maxReplyBacklog;
}

bool Connection::overloaded() const {
  if (callsInFlight_ >= kMaxCallsInFlight || overBacklog()) return true;
  return callsInFlight_ > 0 && (callBytes_ + bufferBytes_ >= limits_.maxConnectionBytes ||
                                budget_.used() >= budget_.limit());
}

void Connection::wakeIo() {
  if (wakeWanted_.exchange(true)) return;  // the I/O thread has yet to look
  const std::uint64_t one = 1;
  // An eventfd: never full, never blocks, so the count written needs no check.
  [[maybe_unused]] const ssize_t wrote = ::write(wakeFd_, &one, sizeof one);
}

void Connection::onWake() {
  if (wakeWanted_.exchange(false)) flush();
}

void Connection::deliverReply(std::list<std::string>& line, std::size_t heldBytes) noexcept {
  budget_.give(heldBytes);
  // Nothing that wakes another thread happens under mutex_: a thread woken there may take
  // the processor from this one (a worker runs below the I/O thread's priority) and then
  // wait for the lock until this worker runs again, which under load is many milliseconds.
  bool wake = false;
  bool direct = false;
  {
    const std::lock_guard lock(mutex_);
    callBytes_ -= heldBytes;
    if (!broken_ && !line.empty()) {
      if (!writing_ && outbox_.empty()) {
        // Nothing is queued before this reply: this thread takes the socket's sending side
        // and writes it, leaving the I/O thread only what the socket would not take now.
        writing_ = true;
        sendingBytes_ = line.front().size();
        direct = true;
      } else {
        // A write is in progress (its end flushes the queue), or a flush is already due.
        outboxBytes_ += line.front().size();
        outbox_.splice(outbox_.end(), line);
        wake = !writing_;
      }
    }
    if (!direct) wake = settleReply() || wake;
  }
  if (direct) {
    std::string& text = line.front();
    bool failed = false;
    const std::size_t sent = sendNow(text, failed);
    const bool rest = !failed && sent < text.size();
    if (rest) text.erase(0, sent);  // the line is still this thread's alone
    const std::lock_guard lock(mutex_);
    writing_ = false;
    sendingBytes_ = 0;
    broken_ = broken_ || failed;
    if (rest && !broken_) {
      // Ahead of the replies queued meanwhile: it was begun first, and is written whole.
      outboxBytes_ += text.size();
      outbox_.splice(outbox_.begin(), line);
    }
    wake = !outbox_.empty() || broken_;
    wake = settleReply() || wake;
  }
  if (wake) wakeIo();
}

bool Connection::settleReply() {
  --callsInFlight_;
  if (!broken_ && !held_ && overBacklog()) {
    // The peer reads too slowly: its queued calls wait rather than pile up more replies.
    held_ = true;
    service_.hold(lane_);
  }
  return (callsInFlight_ == 0 && readClosed_) || (paused_ && !overloaded());
}

void Connection::flush() {
  bool resume = false;
  bool release = false;
  bool write = false;
  bool drain = false;
  std::list<std::string> dropped;
  {
    std::unique_lock lock(mutex_);
    if (closed_) return;
    if (broken_) {
      dropped.splice(dropped.end(), outbox_);
      outboxBytes_ = 0;
    }
    if (held_ && (broken_ || !overBacklog())) {
      held_ = false;
      release = true;
    }
    if (paused_ && !readClosed_ && !overloaded()) {
      paused_ = false;
      resume = true;
    }
    if (!writing_ && outbox_.empty() && readClosed_ && callsInFlight_ == 0) {
      closed_ = true;
      lock.unlock();
      reclaimer_.take(dropped);
      close();
      return;
    }
    if (!writing_ && !outbox_.empty()) {
      auto end = outbox_.begin();
      std::size_t bytes = 0;
      for (std::size_t n = 0; end != outbox_.end() && n < kWriteBatch; ++end, ++n)
        bytes += end->size();
      sending_.splice(sending_.end(), outbox_, outbox_.begin(), end);
      outboxBytes_ -= bytes;
      sendingBytes_ = bytes;
      writing_ = true;
      write = true;
    }
    // Only the I/O thread's own writes wait for the peer; a worker's never does.
    drain = stopping_ && !sending_.empty() && !drainArmed_;
  }
  reclaimer_.take(dropped);
  if (release) service_.release(lane_);
  if (resume) readMore();
  if (drain) {
    // Stopping: what the peer has not taken within the wait is dropped with the connection.
    drainArmed_ = true;
    drainTimer_.expires_after(limits_.stopReplyWait);
    drainTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
      if (error || !self->drainArmed_) return;
      self->drainArmed_ = false;
      {
        const std::lock_guard lock(self->mutex_);
        self->broken_ = true;
      }
      asio::error_code ignored;
      self->socket_.cancel(ignored);  // the write ends, aborted, and flushes
    });
  }
  if (!write) return;
  buffers_.clear();
  for (const auto& reply : sending_)
    buffers_.push_back(asio::buffer(reply));
  asio::async_write(socket_, buffers_,
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
  reclaimer_.take(sending_);
  if (drainArmed_) {
    drainArmed_ = false;  // taken in time; the next write gets a fresh wait
    drainTimer_.cancel();
  }
  flush();
}

void Connection::close() {
  stallTimer_.cancel();
  drainTimer_.cancel();
  drainArmed_ = false;
  asio::error_code ignored;
  socket_.close(ignored);
  framer_.discard();
  settleBufferCharge();
  if (ended_) ended_(this);
}

}  // namespace OmviAgentRunnerMain
