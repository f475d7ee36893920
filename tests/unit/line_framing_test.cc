// Cutting the byte stream into lines within a memory limit.
#include "runner/service/line_framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace OmviAgentRunnerMain {
namespace {

// Feeds |stream| in reads of at most |chunk| bytes; the lines, and whether it overflowed.
struct Fed {
  std::vector<std::string> lines;
  bool overflowed = false;
};

Fed feed(LineFramer& framer, const std::string& stream, std::size_t chunk) {
  Fed fed;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::span<char> room = framer.prepare(chunk);
    if (room.empty()) break;
    const std::size_t count = std::min({room.size(), chunk, stream.size() - at});
    std::memcpy(room.data(), stream.data() + at, count);
    at += count;
    framer.commit(count);
    while (const auto line = framer.nextLine()) {
      EXPECT_GE(line->readable, line->text.size() + kFramePadding);
      fed.lines.emplace_back(line->text);
    }
    if (framer.overflowed()) {
      fed.overflowed = true;
      break;
    }
  }
  return fed;
}

TEST(LineFramer, CutsLinesWhateverTheReadSizes) {
  struct Case {
    std::string stream;
    std::size_t limit;
    std::vector<std::string> lines;
    bool overflowed;
  };
  const std::vector<Case> cases = {
      {"a\nbc\n\nd", 10, {"a", "bc", ""}, false},           // an unfinished line waits
      {"0123456789\nx\n", 10, {"0123456789", "x"}, false},  // exactly the limit
      {"0123456789A\n", 10, {}, true},                      // one byte over
      {"ok\n" + std::string(100, 'x'), 10, {"ok"}, true},
      {"\n\n", 0, {"", ""}, false},
  };
  for (const auto& row : cases) {
    for (const std::size_t chunk : {1u, 3u, 64u * 1024u}) {
      SCOPED_TRACE(row.stream.substr(0, 20) + " chunk " + std::to_string(chunk));
      LineFramer framer(row.limit);
      const Fed fed = feed(framer, row.stream, chunk);
      EXPECT_EQ(fed.lines, row.lines);
      EXPECT_EQ(fed.overflowed, row.overflowed);
    }
  }
}

TEST(LineFramer, MemoryStaysWithinTheLimitAndShrinksAfterALargeLine) {
  const std::size_t limit = 4 * 1024 * 1024;
  LineFramer framer(limit);
  const Fed big = feed(framer, std::string(limit, 'x') + "\nsmall\n", 1024 * 1024);
  EXPECT_EQ(big.lines.size(), 2u);
  EXPECT_LE(framer.capacity(), limit + 1 + kFramePadding);
  (void)framer.prepare(1024);
  EXPECT_LE(framer.capacity(), 64u * 1024u + kFramePadding);

  LineFramer endless(limit);
  EXPECT_TRUE(feed(endless, std::string(3 * limit, 'y'), 1024 * 1024).overflowed);
  EXPECT_LE(endless.capacity(), limit + 1 + kFramePadding);
  EXPECT_TRUE(endless.prepare(1024).empty());
}

TEST(LineFramer, ALineTakenLeavesWithItsBufferAndFramingGoesOn) {
  LineFramer framer(1024 * 1024);
  const std::string first(200000, 'x');
  const Fed before = feed(framer, first + "\nsec", 300000);
  ASSERT_EQ(before.lines.size(), 1u);
  const OwnedLine taken = framer.takeLastLine();
  EXPECT_EQ(taken.text(), first);
  EXPECT_GE(taken.readable, taken.size + kFramePadding);
  EXPECT_LE(framer.capacity(), 64u * 1024u + kFramePadding);
  EXPECT_EQ(feed(framer, "ond\nthird\n", 3).lines, (std::vector<std::string>{"second", "third"}));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
