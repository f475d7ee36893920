#include "runner/text.h"

#include <simdjson.h>
#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace OmviAgentRunnerMain {
namespace {

// Length of the UTF-8 sequence that |lead| starts; 0 for a byte that cannot start one.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The length of |bytes| without the start of a code point cut at its end.
std::size_t withoutCutCodePoint(std::string_view bytes) {
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    return sequenceLength(byte) > back ? bytes.size() - back : bytes.size();
  }
  return bytes.size();
}

// Whether |bytes|, fewer than the sequence their first byte starts, can still become a valid
// code point: every later byte a continuation byte, the second one within the range its lead
// allows (no overlong form, no surrogate, nothing above U+10FFFF).
bool canStillComplete(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes.front());
  if (bytes.size() >= sequenceLength(lead)) return false;
  for (std::size_t i = 1; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if ((byte & 0xC0) != 0x80) return false;
    if (i == 1 && ((lead == 0xE0 && byte < 0xA0) || (lead == 0xED && byte > 0x9F) ||
                   (lead == 0xF0 && byte < 0x90) || (lead == 0xF4 && byte > 0x8F))) {
      return false;
    }
  }
  return true;
}

// Decodes the code point at the front of |text|; nothing for an invalid or cut sequence.
std::optional<std::pair<char32_t, std::size_t>> decodeFront(std::string_view text) {
  utf8proc_int32_t codePoint = 0;
  const auto used = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                     static_cast<utf8proc_ssize_t>(text.size()), &codePoint);
  if (used <= 0) return std::nullopt;
  return std::pair{static_cast<char32_t>(codePoint), static_cast<std::size_t>(used)};
}

// Decodes the code point that ends |text|; nothing when the last bytes are not one.
std::optional<std::pair<char32_t, std::size_t>> decodeBack(std::string_view text) {
  for (std::size_t length = 1; length <= 4 && length <= text.size(); ++length) {
    const auto lead = static_cast<unsigned char>(text[text.size() - length]);
    if ((lead & 0xC0) == 0x80) continue;
    if (sequenceLength(lead) != length) return std::nullopt;
    auto decoded = decodeFront(text.substr(text.size() - length));
    if (!decoded || decoded->second != length) return std::nullopt;
    return decoded;
  }
  return std::nullopt;
}

// Walks the grapheme-cluster starts of valid UTF-8; |onStart| gets each cluster's byte offset
// and returns false to stop.
template <typename OnStart>
void forEachClusterStart(std::string_view text, OnStart onStart) {
  std::int32_t state = 0;
  std::optional<char32_t> previous;
  std::size_t offset = 0;
  while (offset < text.size()) {
    auto decoded = decodeFront(text.substr(offset));
    if (!decoded) return;
    const auto [codePoint, used] = *decoded;
    if (!previous ||
        utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(*previous),
                                         static_cast<utf8proc_int32_t>(codePoint), &state)) {
      if (!onStart(offset)) return;
    }
    previous = codePoint;
    offset += used;
  }
}

}  // namespace

bool isWhitespaceOrNewline(char32_t codePoint) {
  if ((codePoint >= 0x09 && codePoint <= 0x0D) || codePoint == 0x85) return true;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(codePoint))) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

bool isAlphanumeric(char32_t codePoint) {
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(codePoint))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
  }
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty()) {
    auto decoded = decodeFront(text);
    if (!decoded || !isWhitespaceOrNewline(decoded->first)) break;
    text.remove_prefix(decoded->second);
  }
  while (!text.empty()) {
    auto decoded = decodeBack(text);
    if (!decoded || !isWhitespaceOrNewline(decoded->first)) break;
    text.remove_suffix(decoded->second);
  }
  return text;
}

std::string lowercased(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    auto decoded = decodeFront(text);
    if (!decoded) {
      out.push_back(text.front());
      text.remove_prefix(1);
      continue;
    }
    utf8proc_uint8_t buffer[4];
    const auto lower = utf8proc_tolower(static_cast<utf8proc_int32_t>(decoded->first));
    const auto length = utf8proc_encode_char(lower, buffer);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
    text.remove_prefix(decoded->second);
  }
  return out;
}

bool isValidUtf8(std::string_view text) {
  return simdjson::validate_utf8(text.data(), text.size());
}

std::string lossyUtf8(std::string_view bytes, bool& replaced) {
  replaced = false;
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    utf8proc_int32_t codePoint = 0;
    const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(bytes.data()),
                                    static_cast<utf8proc_ssize_t>(bytes.size()), &codePoint);
    if (n <= 0) {
      out.append("\xEF\xBF\xBD");
      replaced = true;
      bytes.remove_prefix(1);
    } else {
      out.append(bytes.substr(0, static_cast<std::size_t>(n)));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  return out;
}

std::size_t graphemeCount(std::string_view text) {
  std::size_t count = 0;
  forEachClusterStart(text, [&](std::size_t) {
    ++count;
    return true;
  });
  return count;
}

std::string_view graphemePrefix(std::string_view text, std::size_t limit) {
  std::size_t count = 0;
  std::size_t end = text.size();
  forEachClusterStart(text, [&](std::size_t offset) {
    if (count == limit) {
      end = offset;
      return false;
    }
    ++count;
    return true;
  });
  return text.substr(0, end);
}

std::string_view graphemePrefix(std::string_view text, std::size_t limit, std::size_t byteLimit) {
  text = graphemePrefix(text, limit);
  if (text.size() <= byteLimit) return text;
  std::size_t fits = 0;
  forEachClusterStart(text, [&](std::size_t offset) {
    if (offset > byteLimit) return false;
    fits = offset;
    return true;
  });
  if (fits > 0) return text.substr(0, fits);
  // Not even the first cluster fits: its code points that do. A continuation byte never
  // starts one, so step back over them.
  std::size_t end = byteLimit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return text.substr(0, end);
}

std::optional<std::string> firstNonBlank(
    std::initializer_list<const std::optional<std::string>*> texts) {
  for (const auto* text : texts) {
    if (!*text) continue;
    const std::string_view kept = trimmed(**text);
    if (!kept.empty()) return std::string(kept);
  }
  return std::nullopt;
}

std::optional<std::string> canonicalComposition(std::string_view text) {
  utf8proc_uint8_t* composed = nullptr;
  const auto length =
      utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                   static_cast<utf8proc_ssize_t>(text.size()), &composed,
                   static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
  if (length < 0) return std::nullopt;
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(composed, &std::free);
  return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

void CappedText::append(std::string_view bytes) {
  if (invalid_ == InvalidText::kReplace) {
    raw_.append(bytes.substr(0, rawLimit_ - raw_.size()));
    return;
  }
  if (!valid_) return;
  if (!pending_.empty()) {
    // Complete the code point split across the previous piece, then carry on with the rest.
    const std::size_t need = sequenceLength(static_cast<unsigned char>(pending_[0]));
    const std::size_t take = std::min(need - pending_.size(), bytes.size());
    pending_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (pending_.size() < need) {
      valid_ = canStillComplete(pending_);
      return;
    }
    std::string joined;
    joined.swap(pending_);
    auto decoded = decodeFront(joined);
    if (!decoded || decoded->second != joined.size()) {
      valid_ = false;
      return;
    }
    takeCodePoint(decoded->first, joined);
  }
  // Hold back a code point cut at the end of this piece.
  const std::size_t complete = withoutCutCodePoint(bytes);
  const std::string_view body = bytes.substr(0, complete);
  pending_.assign(bytes.substr(complete));
  if (!pending_.empty() && !canStillComplete(pending_)) {
    valid_ = false;
    return;
  }
  if (full_) {
    valid_ = isValidUtf8(body);
    return;
  }
  std::size_t offset = 0;
  while (offset < body.size() && !full_) {
    auto decoded = decodeFront(body.substr(offset));
    if (!decoded) {
      valid_ = false;
      return;
    }
    takeCodePoint(decoded->first, body.substr(offset, decoded->second));
    offset += decoded->second;
  }
  if (offset < body.size()) valid_ = isValidUtf8(body.substr(offset));
}

void CappedText::takeCodePoint(char32_t codePoint, std::string_view encoded) {
  if (full_) return;
  const bool starts = !previous_ || utf8proc_grapheme_break_stateful(
                                        static_cast<utf8proc_int32_t>(*previous_),
                                        static_cast<utf8proc_int32_t>(codePoint), &breakState_);
  previous_ = codePoint;
  if (starts) {
    if (clusters_ == limit_ || kept_.size() + encoded.size() > byteLimit_) {
      full_ = true;
      return;
    }
    ++clusters_;
    clusterStart_ = kept_.size();
  } else if (kept_.size() + encoded.size() > byteLimit_) {
    // The cluster under way cannot end within the byte cap: drop it whole, unless it is the
    // first, which keeps the code points that fit.
    if (clusterStart_ > 0) kept_.resize(clusterStart_);
    full_ = true;
    return;
  }
  kept_.append(encoded);
}

std::string CappedText::finish(bool ended) {
  if (invalid_ == InvalidText::kReplace) {
    // A code point cut at the end, by the cap or by a stream cut off while open, is dropped
    // rather than replaced.
    const bool cut = !ended || raw_.size() == rawLimit_;
    const std::string_view raw(raw_.data(), cut ? withoutCutCodePoint(raw_) : raw_.size());
    bool replaced = false;
    const std::string text = lossyUtf8(raw, replaced);
    return std::string(graphemePrefix(text, limit_, byteLimit_));
  }
  if (!valid_ || (ended && !pending_.empty())) return {};
  return std::move(kept_);
}

}  // namespace OmviAgentRunnerMain
