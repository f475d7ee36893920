#include "runner/text.h"

#include <gtest/gtest.h>

namespace OmviAgentRunnerMain {
namespace {

TEST(Trim, RemovesUnicodeWhiteSpaceAndNewlinesAtBothEndsOnly) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"  a b  ", "a b"},
      {"\t\n\r\v\fx\n", "x"},
      {"\u00a0\u2003x\u3000", "x"},        // no-break space, em space, ideographic space
      {"\u0085\u2028\u2029x\u2029", "x"},  // next line, line and paragraph separators
      {"\u200bx", "\u200bx"},              // zero-width space is a format character, kept
      {" \xff ", "\xff"},                  // invalid bytes are ordinary characters
      {"", ""},
      {" \n ", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(trimmed(c.in), c.out) << c.in;
}

TEST(Lowercase, MapsEveryScriptCodePointByCodePoint) {
  EXPECT_EQ(lowercased("Git_Status"), "git_status");
  EXPECT_EQ(lowercased("ÄÖÜ ΣΑΣ Ж"), "äöü σασ ж");
  EXPECT_EQ(lowercased("PING\xff"), "ping\xff");
}

TEST(Alphanumeric, LettersMarksAndNumbersOfAnyScript) {
  for (const char32_t c : {U'a', U'Z', U'7', U'ü', U'ж', U'中', U'\u0301', U'٣', U'Ⅻ'}) {
    EXPECT_TRUE(isAlphanumeric(c)) << static_cast<int>(c);
  }
  for (const char32_t c : {U'-', U'_', U' ', U'/', U'~', U'😀', U'\u200b'}) {
    EXPECT_FALSE(isAlphanumeric(c)) << static_cast<int>(c);
  }
}

TEST(Utf8, StrictValidation) {
  EXPECT_TRUE(isValidUtf8("plain é 😀"));
  EXPECT_TRUE(isValidUtf8(std::string("nul\0inside", 10)));
  for (const char* bad : {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
    EXPECT_FALSE(isValidUtf8(bad)) << bad;
  }
}

TEST(Graphemes, CountsUserPerceivedCharacters) {
  EXPECT_EQ(graphemeCount("abc"), 3U);
  EXPECT_EQ(graphemeCount("e\u0301"), 1U);                    // combining acute accent
  EXPECT_EQ(graphemeCount("👩‍👩‍👧‍👦"), 1U);  // family joined by ZWJ
  EXPECT_EQ(graphemeCount("🇩🇪🇫🇷"), 2U);                       // two flags
  EXPECT_EQ(graphemeCount("\r\n"), 1U);
  EXPECT_EQ(graphemePrefix("e\u0301e\u0301e", 2), "e\u0301e\u0301");
  EXPECT_EQ(graphemePrefix("ab", 5), "ab");
  EXPECT_EQ(graphemePrefix("ab", 0), "");
}

TEST(Normalisation, ComposesCanonically) {
  EXPECT_EQ(canonicalComposition("e\u0301"), "\u00e9");
  EXPECT_EQ(canonicalComposition("\u00e9"), "\u00e9");
}

// Feeds |text| to a collector in pieces of |piece| bytes.
std::string collect(const std::string& text, std::size_t limit, std::size_t piece) {
  CappedText capped(limit);
  for (std::size_t at = 0; at < text.size(); at += piece)
    capped.append(std::string_view(text).substr(at, piece));
  return capped.finish();
}

TEST(CappedText, KeepsTheFirstClustersWhateverThePieceSize) {
  std::string text;
  for (int i = 0; i < 50; ++i)
    text += "a😀e\u0301🇩🇪";
  for (const std::size_t piece : {1U, 2U, 3U, 7U, 4096U}) {
    EXPECT_EQ(collect(text, 200, piece), text) << piece;  // exactly the limit: whole
    EXPECT_EQ(collect(text, 7, piece), "a😀e\u0301🇩🇪a😀e\u0301") << piece;
    EXPECT_EQ(collect(text, 0, piece), "") << piece;
  }
}

TEST(CappedText, AnInvalidByteAnywhereEmptiesTheStream) {
  std::string text(100000, 'x');
  for (const std::size_t at : {0UL, 10UL, 99999UL}) {
    std::string bad = text;
    bad[at] = '\xff';
    EXPECT_EQ(collect(bad, 16, 1000), "") << at;  // even far behind the kept part
  }
  EXPECT_EQ(collect("ok\xe2\x82", 16, 1), "");  // cut code point at the very end
}

TEST(CappedText, AStreamCutShortDropsOnlyItsUnfinishedCodePoint) {
  CappedText capped(10);
  capped.append("ab\xe2\x82");
  EXPECT_EQ(capped.finish(/*ended=*/false), "ab");
}

// A tail that no later byte could finish is invalid even in a stream that was cut short.
TEST(CappedText, AStreamCutShortStillRefusesATailThatCannotBecomeACodePoint) {
  const struct {
    std::vector<std::string> pieces;
    std::string kept;
  } rows[] = {
      {{"ab\xf0", "A"}, ""},               // a lead, then a byte that is no continuation
      {{"ab\xf0", "\x9f", "!"}, ""},       // the same, one piece later
      {{"ab\xe0\x80"}, ""},                // overlong from its second byte on
      {{"ab\xed", "\xa0"}, ""},            // a surrogate from its second byte on
      {{"ab\xf4\x90"}, ""},                // beyond U+10FFFF
      {{"ab\xf0", "\x9f", "\x98"}, "ab"},  // an emoji still being written
      {{"ab\xe2\x82"}, "ab"},
  };
  for (const auto& row : rows) {
    CappedText capped(10);
    for (const auto& piece : row.pieces)
      capped.append(piece);
    EXPECT_EQ(capped.finish(/*ended=*/false), row.kept) << row.pieces.size();
  }
}

}  // namespace
}  // namespace OmviAgentRunnerMain
