// `diffPaths`, the path collection of apply_diff, on any text. Properties:
// - every path returned is the rest of one new-file line of the text ("+++ b/<path>", or
//   "+++ <path>" when the line does not start with "+++ /dev/null"), lines ending at line
//   feeds that do not follow a carriage return;
// - every new-file line's path is represented: it, or a canonically equal path, is returned;
// - the list is strictly ascending by canonical composition (so free of repeats);
// - the result does not depend on what stands before or after the text on lines of its own.
// `diffHeaderNames`, the names git apply reads from the headers, on the same text, at the top
// level and below it: every name is squashed (no "//"), a text holding NUL is never read with
// certainty, and a line of its own before the text changes nothing.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "runner/files/diff_headers.h"
#include "runner/files/patch.h"
#include "runner/text.h"

namespace {

using namespace OmviAgentRunnerMain;

std::string keyOf(const std::string& path) {
  return canonicalComposition(path).value_or(path);
}

// The new-file paths of |text|, by a separate reading: split at every line feed, then glue
// back the pieces whose line feed followed a carriage return.
std::vector<std::string> newFileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      lines.push_back(current);
      current.clear();
    } else {
      current.push_back(text[i]);
    }
  }
  lines.push_back(current);
  std::vector<std::string> paths;
  for (const std::string& line : lines) {
    if (line.rfind("+++ b/", 0) == 0) {
      paths.push_back(line.substr(6));
    } else if (line.rfind("+++ ", 0) == 0 && line.rfind("+++ /dev/null", 0) != 0) {
      paths.push_back(line.substr(4));
    }
  }
  return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> paths = diffPaths(text);
  const std::vector<std::string> written = newFileLines(text);

  const std::set<std::string> writtenSet(written.begin(), written.end());
  std::set<std::string> writtenKeys;
  for (const auto& path : written)
    writtenKeys.insert(keyOf(path));
  std::set<std::string> returnedKeys;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    FUZZ_CHECK(writtenSet.count(paths[i]) == 1, "%s is on no new-file line", paths[i].c_str());
    if (i > 0) {
      FUZZ_CHECK(keyOf(paths[i - 1]) < keyOf(paths[i]), "%s and %s out of order or repeated",
                 paths[i - 1].c_str(), paths[i].c_str());
    }
    returnedKeys.insert(keyOf(paths[i]));
  }
  FUZZ_CHECK(returnedKeys == writtenKeys, "%zu paths written, %zu kinds returned",
             writtenKeys.size(), returnedKeys.size());

  // Lines of their own around the text change nothing (a carriage return at the very end
  // would join the text's last line with the next one).
  if (text.empty() || text.back() != '\r') {
    const std::vector<std::string> framed =
        diffPaths("diff --git a/x b/x\n--- a/x\n" + text + "\n@@ -1 +1 @@\n");
    FUZZ_CHECK(framed == paths, "framing the text changed its paths");
  }
  for (const char* prefix : {"", "sub/"}) {
    const HeaderNames headers = diffHeaderNames(text, prefix);
    for (const HeaderName& header : headers.names)
      FUZZ_CHECK(header.name.find("//") == std::string::npos, "%s is not squashed",
                 header.name.c_str());
    FUZZ_CHECK(text.find('\0') == std::string::npos || !headers.confident,
               "a NUL read with certainty");
    const HeaderNames noted = diffHeaderNames("note\n" + text, prefix);
    FUZZ_CHECK(noted.confident == headers.confident && noted.names.size() == headers.names.size(),
               "a line before the text changed its header names");
    for (std::size_t i = 0; i < noted.names.size(); ++i)
      FUZZ_CHECK(noted.names[i].name == headers.names[i].name &&
                     noted.names[i].base == headers.names[i].base,
                 "a line before the text changed %s", headers.names[i].name.c_str());
  }
  return 0;
}
