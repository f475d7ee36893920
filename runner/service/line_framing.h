// Cutting one connection's byte stream into lines, within a length limit.
//
// Owns: the connection's read buffer, finding line feeds, the limit on a line's length and
// the readable slack the envelope decoder needs after each line.
// Does not own: what a line means (json_rpc.h) or reading the socket (connection.h).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace OmviAgentRunnerMain {

/// One line as the framer hands it out.
struct FramedLine {
  std::string_view text;  ///< without its line feed
  std::size_t readable;   ///< bytes readable from text.data(): at least text.size() + kFramePadding
};

/// Readable bytes guaranteed after every line handed out.
inline constexpr std::size_t kFramePadding = 64;

/// A line taken out of the framer with the buffer that holds it.
struct OwnedLine {
  struct Free {
    void operator()(char* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<char, Free> buffer;
  std::size_t offset = 0;    ///< where the line starts in the buffer
  std::size_t size = 0;      ///< without its line feed
  std::size_t readable = 0;  ///< bytes readable from the line's start, as in FramedLine
  [[nodiscard]] std::string_view text() const { return {buffer.get() + offset, size}; }
};

/// The buffer never holds more than the limit plus one byte of an unfinished line (plus the
/// padding), whatever the peer sends: a line that would pass the limit is reported by
/// `overflowed`, never grown into. After a large line the buffer shrinks back.
class LineFramer {
 public:
  explicit LineFramer(std::size_t maxLineBytes);
  ~LineFramer();
  LineFramer(const LineFramer&) = delete;
  LineFramer& operator=(const LineFramer&) = delete;

  /// Room to read into, at least |want| bytes when the limit allows. Empty once overflowed.
  /// Call only after `nextLine` has answered nothing: lines handed out become invalid here.
  [[nodiscard]] std::span<char> prepare(std::size_t want);

  /// |count| bytes of the last room were filled.
  void commit(std::size_t count);

  /// The next whole line; nothing when no whole line is buffered.
  [[nodiscard]] std::optional<FramedLine> nextLine();

  /// Takes the line `nextLine` handed out last, without copying it: the buffer goes with it,
  /// and what followed the line moves to a fresh one. Lines handed out before become invalid.
  [[nodiscard]] OwnedLine takeLastLine();

  /// True when the unfinished line already holds more than the limit. Meaningful after
  /// `nextLine` has answered nothing.
  [[nodiscard]] bool overflowed() const;

  /// Bytes of the buffer.
  [[nodiscard]] std::size_t capacity() const { return capacity_; }

  /// The buffer's size after `prepare(want)`, without preparing. Lets the caller grant the
  /// growth before it is allocated.
  [[nodiscard]] std::size_t capacityAfter(std::size_t want) const;

  /// Bytes of the unfinished line.
  [[nodiscard]] std::size_t pendingBytes() const { return end_ - begin_; }

  /// Gives the buffer back when it holds nothing unfinished (a paused reader).
  void releaseIfEmpty();

  /// Drops the unfinished line and gives the buffer back (a reader that stopped).
  void discard();

 private:
  void reallocate(std::size_t capacity);
  // What `prepare(want)` makes of the buffer: its new size (capacity_ when it stays) and the
  // room it hands out.
  [[nodiscard]] std::size_t plannedCapacity(std::size_t want) const;

  std::size_t limit_;
  std::unique_ptr<char, OwnedLine::Free> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;         ///< first byte not yet handed out
  std::size_t scanned_ = 0;       ///< [begin_, scanned_) is known to hold no line feed
  std::size_t end_ = 0;           ///< end of the bytes read
  std::size_t lastLine_ = 0;      ///< where the line handed out last starts
  std::size_t lastLineSize_ = 0;  ///< and its size
};

}  // namespace OmviAgentRunnerMain
