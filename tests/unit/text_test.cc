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

// The references the caps fuzz target measures CappedText against; what CappedText keeps of
// any stream, however it is cut, is that target's property. (Where clusters break, and which
// bytes are UTF-8, are utf8proc's and simdjson's business.)
TEST(Graphemes, CountsUserPerceivedCharactersAndComposes) {
  EXPECT_EQ(graphemeCount("e\u0301"), 1U);  // combining acute accent
  EXPECT_EQ(graphemePrefix("e\u0301e\u0301e", 2), "e\u0301e\u0301");
  EXPECT_EQ(graphemePrefix("ab", 5), "ab");
  EXPECT_EQ(graphemePrefix("ab", 0), "");
  // A byte cap cuts at the last cluster boundary that fits, inside the first cluster only
  // when nothing else fits, and never inside a code point.
  EXPECT_EQ(graphemePrefix("ab\u0301\u0301", 5, 4), "a");
  EXPECT_EQ(graphemePrefix("a\u0301\u0301", 5, 4), "a\u0301");
  EXPECT_EQ(graphemePrefix("\U0001F600", 5, 3), "");
  EXPECT_EQ(canonicalComposition("e\u0301"), "\u00e9");
  EXPECT_EQ(canonicalComposition("\u00e9"), "\u00e9");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
