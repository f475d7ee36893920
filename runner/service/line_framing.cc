#include "runner/service/line_framing.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runner/service/json_rpc.h"

namespace OmviAgentRunnerMain {
namespace {

static_assert(kFramePadding >= kEnvelopePadding);

// The buffer an idle connection keeps, and the size above which it is given back.
constexpr std::size_t kIdleCapacity = std::size_t{64} * 1024;
constexpr std::size_t kShrinkAbove = std::size_t{1024} * 1024;

}  // namespace

LineFramer::LineFramer(std::size_t maxLineBytes) : limit_(maxLineBytes) {}

LineFramer::~LineFramer() = default;

void LineFramer::reallocate(std::size_t capacity) {
  if (begin_ > 0 && end_ > begin_)
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
  scanned_ -= begin_;
  end_ -= begin_;
  begin_ = 0;
  // realloc, not a fresh buffer and a copy: a buffer as large as a long line lives in its own
  // mapping, which grows by moving page tables, neither copying nor touching the bytes read.
  // Uninitialised on purpose: a large line must not be written twice.
  void* grown = std::realloc(buffer_.get(), capacity);
  if (grown == nullptr) throw std::bad_alloc();
  (void)buffer_.release();
  buffer_.reset(static_cast<char*>(grown));
  capacity_ = capacity;
}

std::size_t LineFramer::plannedCapacity(std::size_t want) const {
  const std::size_t unfinished = end_ - begin_;
  if (unfinished > limit_) return capacity_;
  // One byte past the limit is enough to know that a line is too long.
  const std::size_t room = std::min(want, limit_ + 1 - unfinished);
  const std::size_t needed = unfinished + room + kFramePadding;
  if (capacity_ > kShrinkAbove && needed <= kIdleCapacity) return kIdleCapacity;
  if (needed > capacity_) {
    const std::size_t ceiling = limit_ + 1 + kFramePadding;
    return std::max(needed, std::min(std::max(capacity_ * 2, kIdleCapacity), ceiling));
  }
  return capacity_;
}

std::size_t LineFramer::capacityAfter(std::size_t want) const {
  return plannedCapacity(want);
}

std::span<char> LineFramer::prepare(std::size_t want) {
  const std::size_t unfinished = end_ - begin_;
  if (unfinished > limit_) return {};
  const std::size_t allowed = limit_ + 1 - unfinished;
  const std::size_t room = std::min(want, allowed);
  const std::size_t planned = plannedCapacity(want);
  if (planned != capacity_) {
    reallocate(planned);
  } else if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, unfinished);
    scanned_ -= begin_;
    end_ = unfinished;
    begin_ = 0;
  }
  // Hand out all the free room the buffer has, within the limit.
  const std::size_t free = capacity_ - end_ - kFramePadding;
  return {buffer_.get() + end_, std::min(std::max(room, free), allowed)};
}

void LineFramer::releaseIfEmpty() {
  if (end_ == begin_) discard();
}

void LineFramer::discard() {
  buffer_.reset();
  capacity_ = begin_ = scanned_ = end_ = 0;
}

void LineFramer::commit(std::size_t count) {
  end_ += count;
}

std::optional<FramedLine> LineFramer::nextLine() {
  if (scanned_ < begin_) scanned_ = begin_;
  const void* found =
      scanned_ < end_ ? std::memchr(buffer_.get() + scanned_, '\n', end_ - scanned_) : nullptr;
  if (found == nullptr) {
    scanned_ = end_;
    return std::nullopt;
  }
  const auto feed = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.get());
  const FramedLine line{std::string_view(buffer_.get() + begin_, feed - begin_),
                        capacity_ - begin_};
  lastLine_ = begin_;
  lastLineSize_ = feed - begin_;
  begin_ = feed + 1;
  scanned_ = begin_;
  return line;
}

OwnedLine LineFramer::takeLastLine() {
  const std::size_t rest = end_ - begin_;
  const std::size_t freshCapacity = std::max(kIdleCapacity, rest + kFramePadding);
  std::unique_ptr<char, OwnedLine::Free> fresh(static_cast<char*>(std::malloc(freshCapacity)));
  if (!fresh) throw std::bad_alloc();
  if (rest > 0) std::memcpy(fresh.get(), buffer_.get() + begin_, rest);
  OwnedLine line{std::move(buffer_), lastLine_, lastLineSize_, capacity_ - lastLine_};
  buffer_ = std::move(fresh);
  capacity_ = freshCapacity;
  scanned_ -= begin_;
  end_ = rest;
  begin_ = lastLine_ = lastLineSize_ = 0;
  return line;
}

bool LineFramer::overflowed() const {
  return end_ - begin_ > limit_;
}

}  // namespace OmviAgentRunnerMain
