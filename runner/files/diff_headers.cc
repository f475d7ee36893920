#include "runner/files/diff_headers.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace OmviAgentRunnerMain {
namespace {

// No library reads diffs the way git apply does, and what decides confinement is exactly git's
// reading: so this follows git's own header rules, step by step, by hand.

using std::string_view;

constexpr std::size_t kMostNameEnds = 64;

// Git's white space: tab, line feed, carriage return and space, nothing else.
bool isGitSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDevNull(string_view field) {
  return field.starts_with("/dev/null") && (field.size() == 9 || isGitSpace(field[9]));
}

// Runs of "/" become one.
std::string squashSlashes(string_view name) {
  std::string squashed;
  for (const char c : name) {
    if (c == '/' && !squashed.empty() && squashed.back() == '/') continue;
    squashed.push_back(c);
  }
  return squashed;
}

// Where the name starts once |p| leading components are skipped; nothing for an absolute path
// or too few components.
std::optional<std::size_t> skipTreePrefix(int p, string_view text) {
  if (p == 0) return (!text.empty() && text[0] == '/') ? std::nullopt : std::optional(0);
  int slashes = p;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '/' && --slashes <= 0) {
      if (i == 0) return std::nullopt;
      return i + 1;
    }
  }
  return std::nullopt;
}

struct Unquoted {
  std::string text;
  std::size_t used = 0;  ///< bytes of the quoted form, both quotes included
};

class Reader {
 public:
  Reader(string_view text, string_view prefix) : prefix_(prefix) {
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      if (end == string_view::npos) {
        lines_.push_back(text.substr(start));
        break;
      }
      lines_.push_back(text.substr(start, end - start));
      start = end + 1;
    }
  }

  HeaderNames read() {
    std::size_t at = 0;
    while (at < lines_.size()) {
      const std::optional<std::size_t> body = findHeader(at);
      if (!body) break;
      at = skipPatchBody(*body);
    }
    return std::move(result_);
  }

 private:
  void add(std::optional<std::string> name, NameBase base) {
    if (name) result_.names.push_back({std::move(*name), base});
  }

  // A C-style quoted name starting at text[0] == '"'. Nothing where git gives up on it; a
  // closing quote missing from the line (git would read on into the next) or a NUL makes the
  // reading uncertain.
  std::optional<Unquoted> unquote(string_view text) {
    Unquoted out;
    std::size_t at = 1;
    for (;;) {
      if (at >= text.size()) return unsure();
      const char c = text[at++];
      if (c == '"') break;
      if (c != '\\') {
        out.text.push_back(c);
        continue;
      }
      if (at >= text.size()) return unsure();
      const char escape = text[at++];
      switch (escape) {
        case 'a':
          out.text.push_back('\a');
          break;
        case 'b':
          out.text.push_back('\b');
          break;
        case 'f':
          out.text.push_back('\f');
          break;
        case 'n':
          out.text.push_back('\n');
          break;
        case 'r':
          out.text.push_back('\r');
          break;
        case 't':
          out.text.push_back('\t');
          break;
        case 'v':
          out.text.push_back('\v');
          break;
        case '\\':
        case '"':
          out.text.push_back(escape);
          break;
        case '0':
        case '1':
        case '2':
        case '3': {
          // Git does not check that the two digits after the first are octal digits.
          if (at + 2 > text.size() || text[at] < '0' || text[at] > '7' || text[at + 1] < '0' ||
              text[at + 1] > '7')
            return unsure();
          out.text.push_back(
              static_cast<char>((escape - '0') * 64 + (text[at] - '0') * 8 + (text[at + 1] - '0')));
          at += 2;
          break;
        }
        default:
          return std::nullopt;
      }
    }
    if (out.text.find('\0') != std::string::npos) return unsure();
    out.used = at;
    return out;
  }

  std::nullopt_t unsure() {
    result_.confident = false;
    return std::nullopt;
  }

  // A quoted name with |p| components removed; nothing when git falls back to the raw text.
  std::optional<std::string> quotedName(string_view field, int p) {
    std::optional<Unquoted> name = unquote(field);
    if (!name) return std::nullopt;
    std::size_t start = 0;
    for (; p > 0; --p) {
      start = name->text.find('/', start);
      if (start == std::string::npos) return std::nullopt;
      ++start;
    }
    return squashSlashes(string_view(name->text).substr(start));
  }

  // The name in |field| with |p| components removed, ending at a carriage return, or at a tab
  // with |tabEnds|, or (with |wholeField|) at the field's end only; |fallback| when there is
  // none, or when the name is |fallback| with something added.
  static std::optional<std::string> plainName(string_view field,
                                              const std::optional<std::string>& fallback, int p,
                                              bool tabEnds, bool wholeField = false) {
    std::optional<std::size_t> start;
    if (p == 0) start = 0;
    int slashes = p;
    std::size_t at = 0;
    while (at < field.size()) {
      const char c = field[at];
      if (!wholeField && isGitSpace(c) && c != ' ' && (c != '\t' || tabEnds)) break;
      ++at;
      if (c == '/' && --slashes == 0) start = at;
    }
    if (!start || at == *start) return fallback;
    const string_view name = field.substr(*start, at - *start);
    if (fallback && fallback->size() < name.size() && name.starts_with(*fallback)) return fallback;
    return squashSlashes(name);
  }

  std::optional<std::string> headerName(string_view field, int p, bool tabEnds) {
    if (field.starts_with('"')) {
      if (auto quoted = quotedName(field, p)) return quoted;
    }
    return plainName(field, std::nullopt, p, tabEnds);
  }

  // Every name a "--- " or "+++ " line of a diff without "diff --git" may give. Git cuts off
  // a trailing time stamp when it recognises one, and the name then runs up to it, white space
  // included: every place where a time stamp could start is tried.
  std::vector<std::string> traditionalNames(string_view field, int p) {
    if (field.starts_with('"')) {
      if (auto quoted = quotedName(field, p)) return {*quoted};
    }
    std::vector<std::string> names;
    if (auto name = plainName(field, std::nullopt, p, true)) names.push_back(std::move(*name));
    for (std::size_t at = 1; at < field.size(); ++at) {
      if (field[at] != ' ' && field[at] != '\t') continue;
      if (auto name = plainName(field.substr(0, at), std::nullopt, p, false, true))
        names.push_back(std::move(*name));
    }
    if (names.size() > kMostNameEnds) unsure();
    return names;
  }

  // Git's guess of the components to remove, from one name line; -1 for no guess.
  int guessComponents(string_view field) {
    if (isDevNull(field)) return -1;
    std::optional<int> agreed;
    for (const std::string& name : traditionalNames(field, 0)) {
      int guess = -1;
      const std::size_t slash = name.find('/');
      if (slash == std::string::npos) {
        guess = 0;
      } else if (!prefix_.empty()) {
        const auto depth = static_cast<int>(std::count(prefix_.begin(), prefix_.end(), '/'));
        if (name.starts_with(prefix_)) {
          guess = depth;
        } else if (string_view(name).substr(slash + 1).starts_with(prefix_)) {
          guess = depth + 1;
        }
      }
      if (agreed && *agreed != guess) unsure();
      agreed = guess;
    }
    return agreed.value_or(-1);
  }

  void readTraditionalHeader(string_view first, string_view second, NameBase base) {
    if (!componentsKnown_) {
      int p = guessComponents(first);
      const int q = guessComponents(second);
      if (p < 0) p = q;
      if (p >= 0 && p == q) {
        components_ = p;
        componentsKnown_ = true;
      }
    }
    // Where the second line's name extends the first's, git takes the first's: both are read.
    for (const string_view field : {first, second}) {
      if (isDevNull(field)) continue;
      for (std::string& name : traditionalNames(field, components_))
        add(std::move(name), base);
    }
  }

  // The name git takes from a "diff --git" line (|line| is what follows "diff --git ", line feed
  // included): only when both sides name the same file.
  std::optional<std::string> gitHeaderName(string_view line) {
    const int p = components_;
    if (line[0] == '"') {
      std::optional<Unquoted> first = unquote(line);
      if (!first) return std::nullopt;
      const auto cut = skipTreePrefix(p, first->text);
      if (!cut) return std::nullopt;
      const std::string firstName = first->text.substr(*cut);
      std::size_t second = first->used;
      while (second < line.size() && isGitSpace(line[second]))
        ++second;
      if (second >= line.size()) return std::nullopt;
      if (line[second] == '"') {
        std::optional<Unquoted> other = unquote(line.substr(second));
        if (!other) return std::nullopt;
        const auto otherCut = skipTreePrefix(p, other->text);
        if (!otherCut || other->text.substr(*otherCut) != firstName) return std::nullopt;
        return firstName;
      }
      // Git compares the rest of the line, its line feed included, so this never matches.
      const auto otherCut = skipTreePrefix(p, line.substr(second));
      if (!otherCut || line.substr(second + *otherCut) != firstName) return std::nullopt;
      return firstName;
    }
    const auto cut = skipTreePrefix(p, line);
    if (!cut) return std::nullopt;
    const string_view name = line.substr(*cut);
    if (const std::size_t quote = name.find('"'); quote != string_view::npos) {
      std::optional<Unquoted> other = unquote(name.substr(quote));
      if (!other) return std::nullopt;
      const auto otherCut = skipTreePrefix(p, other->text);
      if (!otherCut) return std::nullopt;
      const string_view second = string_view(other->text).substr(*otherCut);
      if (second.size() < quote && name.starts_with(second) && isGitSpace(name[second.size()]))
        return std::string(second);
      return std::nullopt;
    }
    const std::size_t lineLength = name.find('\n');
    for (std::size_t length = 0; length < lineLength; ++length) {
      if (name[length] != ' ' && name[length] != '\t') continue;
      const auto secondCut = skipTreePrefix(p, name.substr(length + 1, lineLength - (length + 1)));
      if (!secondCut) continue;
      const std::size_t second = length + 1 + *secondCut;
      if (second + length < name.size() && name[second + length] == '\n' &&
          name.substr(second, length) == name.substr(0, length))
        return std::string(name.substr(0, length));
    }
    return std::nullopt;
  }

  // The two names of a "diff --git" line that git does not read (a rename, a copy), where the
  // line splits into them unambiguously: two quoted names, or two plain ones around the one
  // space of the line.
  void addBothSides(string_view line) {
    std::vector<std::string> sides;
    if (line.starts_with('"')) {
      std::optional<Unquoted> first = unquote(line);
      if (!first || line.substr(first->used).size() < 2 || line[first->used] != ' ') return;
      std::optional<Unquoted> second = unquote(line.substr(first->used + 1));
      if (!second || first->used + 1 + second->used != line.size()) return;
      sides = {first->text, second->text};
    } else {
      const std::size_t space = line.find_first_of(" \t");
      if (space == string_view::npos || line.find_first_of(" \t\"", space + 1) != string_view::npos)
        return;
      sides = {std::string(line.substr(0, space)), std::string(line.substr(space + 1))};
    }
    for (const std::string& side : sides) {
      const auto cut = skipTreePrefix(components_, side);
      add(squashSlashes(string_view(side).substr(cut.value_or(0))), NameBase::kTopLevel);
    }
  }

  // The header starting with "diff --git" at line |at|; the first line after it.
  std::size_t readGitHeader(std::size_t at) {
    const string_view line = lines_[at].substr(11);
    if (auto name = gitHeaderName(std::string(line) + "\n")) {
      add(std::move(name), NameBase::kTopLevel);
    } else {
      addBothSides(line);
    }
    const int renameComponents = components_ > 0 ? components_ - 1 : 0;
    bool isNew = false, isDelete = false;
    std::size_t next = at + 1;
    for (; next < lines_.size(); ++next) {
      const string_view header = lines_[next];
      if (header.starts_with("@@ -")) break;
      if (header.starts_with("--- ") || header.starts_with("+++ ")) {
        const string_view field = header.substr(4);
        if (!((header[0] == '-' ? isNew : isDelete) && isDevNull(field)))
          add(headerName(field, components_, true), NameBase::kTopLevel);
        continue;
      }
      if (header.starts_with("old mode ") || header.starts_with("new mode ")) continue;
      if (header.starts_with("deleted file mode ")) {
        isDelete = true;
        continue;
      }
      if (header.starts_with("new file mode ")) {
        isNew = true;
        continue;
      }
      bool named = false;
      for (const string_view key :
           {"copy from ", "copy to ", "rename old ", "rename new ", "rename from ", "rename to "}) {
        if (!header.starts_with(key)) continue;
        add(headerName(header.substr(key.size()), renameComponents, false), NameBase::kTopLevel);
        named = true;
        break;
      }
      if (named || header.starts_with("similarity index ") ||
          header.starts_with("dissimilarity index ") || header.starts_with("index "))
        continue;
      break;
    }
    return next;
  }

  // Git's search for the next header from line |at|: the first line after the header, or
  // nothing when no header follows.
  std::optional<std::size_t> findHeader(std::size_t& at) {
    // A "diff --git" line alone (its header ends at once) leaves git reading the names of a
    // following "--- " / "+++ " pair as top-level ones.
    bool afterGitLine = false;
    for (; at < lines_.size(); ++at) {
      const string_view line = lines_[at];
      if (line.size() + 1 < 6 || line.starts_with("@@ -")) continue;
      if (line.starts_with("diff --git ")) {
        const std::size_t end = readGitHeader(at);
        afterGitLine = true;
        if (end > at + 1) return end;
        continue;
      }
      if (line.starts_with("--- ") && at + 2 < lines_.size() &&
          lines_[at + 1].starts_with("+++ ") && lines_[at + 2].starts_with("@@ -")) {
        readTraditionalHeader(line.substr(4), lines_[at + 1].substr(4),
                              afterGitLine ? NameBase::kEither : NameBase::kWorkingDirectory);
        return at + 2;
      }
    }
    return std::nullopt;
  }

  // One hunk at line |at| (its "@@ -" line): the line after it, or nothing when git finds it
  // corrupt.
  std::optional<std::size_t> skipHunk(std::size_t at) const {
    const string_view header = lines_[at];
    std::size_t offset = 4;
    const auto range = [&](string_view expect, std::uint64_t& count) {
      const auto number = [&](std::uint64_t& value) {
        if (offset >= header.size() || header[offset] < '0' || header[offset] > '9') return false;
        value = 0;
        for (; offset < header.size() && header[offset] >= '0' && header[offset] <= '9'; ++offset)
          value =
              value > UINT32_MAX ? value : value * 10 + static_cast<unsigned>(header[offset] - '0');
        return true;
      };
      std::uint64_t start = 0;
      if (!number(start)) return false;
      count = 1;
      if (offset < header.size() && header[offset] == ',') {
        ++offset;
        if (!number(count)) return false;
      }
      if (!header.substr(offset).starts_with(expect)) return false;
      offset += expect.size();
      return true;
    };
    std::uint64_t oldLines = 0, newLines = 0;
    if (!range(" +", oldLines) || !range(" @@", newLines)) return std::nullopt;
    bool changed = false;
    std::size_t next = at + 1;
    for (; oldLines > 0 || newLines > 0; ++next) {
      if (next >= lines_.size()) return std::nullopt;
      const string_view line = lines_[next];
      switch (line.empty() ? ' ' : line[0]) {
        case ' ':
          if (oldLines == 0 || newLines == 0) return std::nullopt;
          --oldLines;
          --newLines;
          break;
        case '-':
          if (oldLines-- == 0) return std::nullopt;
          changed = true;
          break;
        case '+':
          if (newLines-- == 0) return std::nullopt;
          changed = true;
          break;
        case '\\':
          if (line.size() + 1 < 12 || !line.starts_with("\\ ")) return std::nullopt;
          break;
        default:
          return std::nullopt;
      }
    }
    if (!changed) return std::nullopt;
    if (next < lines_.size() && lines_[next].starts_with("\\ ")) ++next;
    return next;
  }

  // The hunks, binary data or "Binary files ... differ" line from line |at|: where git looks
  // for the next header. Where git would find the patch corrupt (and apply nothing), reading
  // goes on right after the hunk's first line, so that its body is searched for headers too.
  std::size_t skipPatchBody(std::size_t at) const {
    bool anyHunk = false;
    while (at < lines_.size() && lines_[at].starts_with("@@ -")) {
      const std::optional<std::size_t> next = skipHunk(at);
      if (!next) return at + 1;
      at = *next;
      anyHunk = true;
    }
    if (anyHunk || at >= lines_.size()) return at;
    const string_view line = lines_[at];
    if (line == "GIT binary patch") {
      ++at;
      // A forward and an optional reverse hunk, each ended by an empty line.
      for (int hunk = 0; hunk < 2; ++hunk) {
        if (at >= lines_.size() ||
            !(lines_[at].starts_with("delta ") || lines_[at].starts_with("literal ")))
          break;
        while (++at < lines_.size() && !lines_[at].empty()) {
        }
        if (at < lines_.size()) ++at;
      }
      return at;
    }
    if (line.ends_with(" differ") &&
        (line.starts_with("Binary files ") || line.starts_with("Files ")))
      return at + 1;
    return at;
  }

  std::vector<string_view> lines_;
  std::string prefix_;
  int components_ = 1;
  bool componentsKnown_ = false;
  HeaderNames result_;
};

}  // namespace

HeaderNames diffHeaderNames(string_view diffText, string_view prefix) {
  if (diffText.find('\0') != string_view::npos) return {.names = {}, .confident = false};
  return Reader(diffText, prefix).read();
}

}  // namespace OmviAgentRunnerMain
