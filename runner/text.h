// Unicode text rules shared by every subsystem, on UTF-8 strings, through utf8proc.
//
// Owns: white-space trimming, lower-casing, UTF-8 validation, grapheme-cluster counting and
// cutting (incrementally too, for child output), the alphanumeric test and canonical
// normalisation.
// Does not own: which text is trimmed or capped where (the operations decide).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// True for the white-space-and-newline set: categories Zs, Zl, Zp, U+0009..U+000D, U+0085.
[[nodiscard]] bool isWhitespaceOrNewline(char32_t codePoint);

/// True for letters, marks and numbers of any script (categories L*, M*, N*).
[[nodiscard]] bool isAlphanumeric(char32_t codePoint);

/// |text| without white space and newlines at either end. Bytes that are not valid UTF-8
/// count as ordinary characters, never as white space.
[[nodiscard]] std::string_view trimmed(std::string_view text);

/// Lower case, code point by code point (simple case mapping). Invalid bytes are kept.
[[nodiscard]] std::string lowercased(std::string_view text);

/// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
[[nodiscard]] bool isValidUtf8(std::string_view text);

/// |bytes| with every invalid UTF-8 sequence replaced by U+FFFD, byte by byte; |replaced|
/// says whether any was.
[[nodiscard]] std::string lossyUtf8(std::string_view bytes, bool& replaced);

/// Number of extended grapheme clusters in valid UTF-8 |text|.
[[nodiscard]] std::size_t graphemeCount(std::string_view text);

/// The first |limit| extended grapheme clusters of valid UTF-8 |text| (all of it when shorter).
[[nodiscard]] std::string_view graphemePrefix(std::string_view text, std::size_t limit);

/// As above, and at most |byteLimit| bytes: cut at the last cluster boundary that fits, or,
/// when not even the first cluster fits, at the last code point boundary that does (one
/// cluster can be any length: a letter followed by endless combining marks). Valid UTF-8 in,
/// valid UTF-8 out.
[[nodiscard]] std::string_view graphemePrefix(std::string_view text, std::size_t limit,
                                              std::size_t byteLimit);

/// The first of |texts| that is present and not blank, trimmed; nothing when none is.
[[nodiscard]] std::optional<std::string> firstNonBlank(
    std::initializer_list<const std::optional<std::string>*> texts);

/// Canonical composition (NFC) of valid UTF-8 |text|; nothing when it cannot be normalised.
[[nodiscard]] std::optional<std::string> canonicalComposition(std::string_view text);

/// What becomes of a stream that is not valid UTF-8.
enum class InvalidText {
  kDiscard,  ///< the whole stream is dropped
  kReplace,  ///< each invalid byte becomes U+FFFD (`lossyUtf8`), and the caps apply after
};

/// Collects a byte stream that arrives in pieces, keeping what `graphemePrefix` with
/// |limit| clusters and |byteLimit| bytes keeps of the whole stream, while checking the whole
/// stream for valid UTF-8. Memory stays within |byteLimit| plus a few bytes, whatever the
/// stream's length and however long its clusters.
class CappedText {
 public:
  CappedText(std::size_t limit, std::size_t byteLimit, InvalidText invalid = InvalidText::kDiscard)
      : limit_(limit),
        byteLimit_(byteLimit),
        invalid_(invalid),
        rawLimit_(byteLimit > SIZE_MAX - 4 ? SIZE_MAX : byteLimit + 4) {}

  void append(std::string_view bytes);

  /// The kept text, or "" when any byte of the stream was not valid UTF-8 and |invalid| is
  /// kDiscard. Call once, after the last append. |ended| false means the stream was cut off
  /// while still open: a code point cut at its end is then dropped rather than counted as
  /// invalid.
  [[nodiscard]] std::string finish(bool ended = true);

 private:
  void takeCodePoint(char32_t codePoint, std::string_view encoded);

  std::size_t limit_;
  std::size_t byteLimit_;
  InvalidText invalid_;
  // kReplace: the stream's first bytes, as many as the caps can use. Replacing never
  // shortens, so bytes past the byte cap cannot be kept; one code point more tells whether
  // the cluster at the cap goes on past it.
  std::size_t rawLimit_;
  std::string raw_;
  std::string kept_;
  std::size_t clusterStart_ = 0;  ///< where the last kept cluster begins in kept_
  std::string pending_;           ///< the start of a code point split between two appends
  bool valid_ = true;
  bool full_ = false;  ///< the cluster after the last kept one has begun
  std::size_t clusters_ = 0;
  std::int32_t breakState_ = 0;
  std::optional<char32_t> previous_;
};

}  // namespace OmviAgentRunnerMain
