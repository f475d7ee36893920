// The grapheme caps on child output. The input gives a limit, a way of cutting the stream
// into pieces, and the stream. Properties:
// - CappedText fed the pieces keeps exactly graphemePrefix(whole stream, limit, byte limit)
//   when the whole stream is valid UTF-8, and "" otherwise, however the stream was cut, for a
//   byte limit that never binds and for two that may (cutting inside and between clusters);
// - a stream cut off while open (finish(false)) keeps the prefix of the stream without an
//   unfinished code point at its end, when the rest is valid, and "" otherwise;
// - without a byte limit, the prefix has min(limit, graphemeCount(stream)) clusters; with one,
//   it is valid UTF-8 within the byte limit; either way it starts the stream;
// - replacing invalid bytes, it keeps graphemePrefix(lossyUtf8(stream), ...), and left open,
//   the same of the stream or of the stream without one to three bytes at its end.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "runner/text.h"

using namespace OmviAgentRunnerMain;

namespace {

// Whether |text| followed by |missing| more bytes can be valid UTF-8.
bool completes(const std::string& text, std::size_t missing) {
  if (missing == 0) return isValidUtf8(text);
  for (const unsigned char next : {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF}) {
    if (completes(text + static_cast<char>(next), missing - 1)) return true;
  }
  return false;
}

// What a stream left open must keep before capping: all of it when valid; without its last
// one to three bytes when those begin a code point that more bytes could finish; else "".
std::optional<std::string> keptWhenLeftOpen(const std::string& stream) {
  if (isValidUtf8(stream)) return stream;
  for (std::size_t tail = 1; tail <= 3 && tail <= stream.size(); ++tail) {
    const std::string head = stream.substr(0, stream.size() - tail);
    if (!isValidUtf8(head)) continue;
    for (std::size_t missing = 1; tail + missing <= 4; ++missing) {
      if (completes(stream.substr(head.size()), missing)) return head;
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  omvi_fuzz::FuzzInput input(data, size);
  const std::size_t limit = input.byte() % 48;
  std::vector<std::size_t> cuts;
  for (int count = input.byte() % 8; count > 0; --count)
    cuts.push_back(input.byte() % 16);
  const std::string stream = input.remainder();

  const std::size_t byteLimits[] = {SIZE_MAX, limit, limit * 3 + 1};
  for (const std::size_t byteLimit : byteLimits) {
    CappedText pieces(limit, byteLimit);
    CappedText open(limit, byteLimit);
    CappedText replacing(limit, byteLimit, InvalidText::kReplace);
    CappedText replacingOpen(limit, byteLimit, InvalidText::kReplace);
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
      const std::size_t length = cuts.empty() ? stream.size() : cuts[i % cuts.size()] + 1;
      const std::string_view piece = std::string_view(stream).substr(at, length);
      for (CappedText* text : {&pieces, &open, &replacing, &replacingOpen})
        text->append(piece);
      at += piece.size();
    }
    const auto lossyPrefix = [&](std::string_view bytes) {
      bool replaced = false;
      return std::string(graphemePrefix(lossyUtf8(bytes, replaced), limit, byteLimit));
    };
    const std::string replaced = replacing.finish();
    FUZZ_CHECK(replaced == lossyPrefix(stream) && isValidUtf8(replaced), "replacing kept %zu bytes",
               replaced.size());
    const std::string replacedOpen = replacingOpen.finish(false);
    bool openMatches = false;
    for (std::size_t tail = 0; tail <= 3 && tail <= stream.size(); ++tail)
      openMatches |=
          replacedOpen == lossyPrefix(std::string_view(stream).substr(0, stream.size() - tail));
    FUZZ_CHECK(openMatches, "replacing, left open, kept %zu bytes", replacedOpen.size());
    const std::string kept = pieces.finish();
    const std::optional<std::string> whenOpen = keptWhenLeftOpen(stream);
    const std::string keptOpen = open.finish(false);
    FUZZ_CHECK(
        keptOpen == (whenOpen ? std::string(graphemePrefix(*whenOpen, limit, byteLimit)) : ""),
        "a stream left open kept %zu bytes", keptOpen.size());

    if (!isValidUtf8(stream)) {
      FUZZ_CHECK(kept.empty(), "invalid stream kept %zu bytes", kept.size());
      continue;
    }
    const std::string_view prefix = graphemePrefix(stream, limit, byteLimit);
    FUZZ_CHECK(kept == prefix, "kept %zu bytes, the prefix has %zu", kept.size(), prefix.size());
    FUZZ_CHECK(stream.compare(0, prefix.size(), prefix) == 0, "the prefix does not start the text");
    FUZZ_CHECK(isValidUtf8(prefix) && prefix.size() <= byteLimit, "a prefix of %zu bytes",
               prefix.size());
    if (byteLimit != SIZE_MAX) continue;
    const std::size_t clusters = graphemeCount(stream);
    FUZZ_CHECK(graphemeCount(prefix) == std::min(limit, clusters),
               "%zu clusters kept of %zu, limit %zu", graphemeCount(prefix), clusters, limit);
  }
  return 0;
}
