// Hostile input end to end: the JSON conformance corpus and a generated corpus of malformed
// requests, each sent through every way in. Whatever arrives, the runner answers with one line
// of JSON and the status that goes with it, in time, and writes nothing to standard error.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/e2e/hostile_transport.h"
#include "tests/support/test_support.h"

namespace omvi_test {
namespace {

using enum Outcome;

struct Case {
  std::string name;
  std::string request;
  std::vector<Outcome> allowed;
};

// Sends every case over every way in (|argumentToo| false: all but --json, for corpora where
// the argument would only repeat what standard input already showed).
void sendEverywhere(const std::vector<Case>& cases, bool argumentToo = true) {
  std::vector<Way> ways(std::begin(kWays), std::end(kWays));
  if (!argumentToo) std::erase(ways, Way::kJsonArgument);
  forEachInParallel(cases.size() * ways.size(), [&](std::size_t i) {
    const Case& each = cases[i / ways.size()];
    const Way way = ways[i % ways.size()];
    if (!carries(way, each.request) || !sampled(way, i / ways.size())) return;
    expectAnswer(send(way, each.request), each.allowed, each.name + " over " + nameOf(way));
  });
}

// ---- The JSON conformance corpus ----------------------------------------------------------

struct Document {
  std::string name;
  char kind;  ///< 'y' must parse, 'n' must be refused, 'i' either
  std::string bytes;
};

std::vector<Document> conformanceCorpus() {
  std::vector<Document> documents;
  for (const auto& entry : std::filesystem::directory_iterator(OMVI_TEST_DATA "/jsontestsuite")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    documents.push_back({name, name[0], std::string(std::istreambuf_iterator<char>(file), {})});
  }
  std::sort(documents.begin(), documents.end(),
            [](const Document& a, const Document& b) { return a.name < b.name; });
  return documents;
}

// Refusals that say the text was well-formed JSON but not a request.
bool wellFormedButNotARequest(const std::string& error) {
  return error == "invalid JSON request: the request must be a JSON object" ||
         error == "invalid JSON request: field \"op\" is missing";
}

TEST(HostileInput, EveryConformanceDocumentAsTheWholeRequest) {
  const std::vector<Document> documents = conformanceCorpus();
  ASSERT_GT(documents.size(), 300U);
  const Way ways[] = {Way::kStandardInput, Way::kSocket, Way::kInProcess};
  forEachInParallel(documents.size() * std::size(ways), [&](std::size_t i) {
    const Document& document = documents[i / std::size(ways)];
    const Way way = ways[i % std::size(ways)];
    if (!carries(way, document.bytes) || !sampled(way, i / std::size(ways))) return;
    if (document.bytes.empty()) return;  // no request at all: the usage answer, tested in cli
    const std::string error =
        expectAnswer(send(way, document.bytes), {kRefused}, document.name + " over " + nameOf(way));
    // None of them is a request; a y_ document must still be read as JSON to its end.
    if (document.kind == 'y') {
      EXPECT_TRUE(wellFormedButNotARequest(error)) << document.name;
    } else if (document.kind == 'n') {
      EXPECT_FALSE(wellFormedButNotARequest(error)) << document.name;
    }
  });
}

TEST(HostileInput, EveryConformanceDocumentAsAnUnknownFieldOfPing) {
  std::vector<Case> cases;
  for (const Document& document : conformanceCorpus()) {
    const std::string request = "{\"op\":\"ping\",\"unknown\":" + document.bytes + "}";
    switch (document.kind) {
      case 'y':
        cases.push_back({document.name, request, {kOk}});
        break;
      case 'n':
        cases.push_back({document.name, request, {kRefused}});
        break;
      default:
        cases.push_back({document.name, request, {kOk, kRefused}});
    }
  }
  sendEverywhere(cases, /*argumentToo=*/false);
}

// ---- Generated malformed requests ---------------------------------------------------------

// A request using every field, each with a value of its type.
const std::string kFullRequest =
    R"({"op":"ping","workspace_root":"/ws","path":"a/b","paths":["a","b"],"content":"x\ny",)"
    R"("diff":"d","dry_run":true,"message":"m","command":"true","timeout":30,)"
    R"("allow_network":false,"name":"n","branch":"b","remote":"origin","set_upstream":true,)"
    R"("worktree":true,"staged":false,"scope":"staged","base_branch":"main","count":5,)"
    R"("worktree_path":"w","prune":false,"no_ff":true})";

std::vector<Case> truncations() {
  std::vector<Case> cases;
  for (std::size_t length = 1; length < kFullRequest.size(); length += 9) {
    cases.push_back(
        {"truncated to " + std::to_string(length), kFullRequest.substr(0, length), {kRefused}});
  }
  return cases;
}

std::string repeat(const std::string& text, std::size_t times) {
  std::string out;
  out.reserve(text.size() * times);
  for (std::size_t i = 0; i < times; ++i)
    out += text;
  return out;
}

std::vector<Case> deepNesting() {
  constexpr std::size_t kDeep = 100000;
  return {
      {"arrays 100000 deep",
       "{\"op\":\"ping\",\"x\":" + repeat("[", kDeep) + repeat("]", kDeep) + "}",
       {kRefused}},
      {"objects 100000 deep",
       "{\"op\":\"ping\",\"x\":" + repeat("{\"a\":", kDeep) + "1" + repeat("}", kDeep) + "}",
       {kRefused}},
      {"arrays 100000 deep, never closed",
       "{\"op\":\"ping\",\"x\":" + repeat("[", kDeep),
       {kRefused}},
      {"a top level 100000 deep", repeat("[", kDeep) + repeat("]", kDeep), {kRefused}},
      {"paths 100000 deep",
       "{\"op\":\"ping\",\"paths\":" + repeat("[", kDeep) + repeat("]", kDeep) + "}",
       {kRefused}},
      {"nesting within the limit",
       "{\"op\":\"ping\",\"x\":" + repeat("[", 100) + repeat("]", 100) + "}",
       {kOk}},
  };
}

std::vector<Case> badText() {
  std::vector<Case> cases;
  const std::pair<const char*, std::string> invalid[] = {
      {"byte FF", "\xff"},
      {"continuation byte alone", "\x80"},
      {"overlong slash", "\xc0\xaf"},
      {"overlong NUL", "\xe0\x80\x80"},
      {"encoded surrogate", "\xed\xa0\x80"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80"},
      {"five-byte form", "\xf8\x88\x80\x80\x80"},
      {"cut before the quote", "\xe2\x82"},
  };
  for (const auto& [name, bytes] : invalid) {
    cases.push_back(
        {std::string("invalid UTF-8 in op: ") + name, "{\"op\":\"" + bytes + "\"}", {kRefused}});
    cases.push_back({std::string("invalid UTF-8 in path: ") + name,
                     "{\"op\":\"ping\",\"path\":\"" + bytes + "\"}",
                     {kRefused}});
    cases.push_back({std::string("invalid UTF-8 in a key: ") + name,
                     "{\"op\":\"ping\",\"" + bytes + "\":1}",
                     {kRefused}});
    cases.push_back({std::string("invalid UTF-8 outside strings: ") + name,
                     "{\"op\":\"ping\"" + bytes + "}",
                     {kRefused}});
  }
  for (const std::string surrogate : {R"(\ud800)", R"(\udfff)", R"(\ud800\u0041)",
                                      R"(\udc00\ud800)", R"(\ud800x)", R"(\ud83d)"}) {
    // Either refused, or carried as text that never reaches a response unencoded.
    cases.push_back({"lone surrogate in op " + surrogate,
                     "{\"op\":\"" + surrogate + "\"}",
                     {kFailed, kRefused}});
    cases.push_back({"lone surrogate in content " + surrogate,
                     "{\"op\":\"ping\",\"content\":\"" + surrogate + "\"}",
                     {kOk, kRefused}});
    cases.push_back({"lone surrogate in an unknown key " + surrogate,
                     "{\"op\":\"ping\",\"" + surrogate + "\":0}",
                     {kOk, kRefused}});
  }
  cases.push_back({"a surrogate pair is text", R"({"op":"ping","path":"\ud83d\ude00"})", {kOk}});
  cases.push_back({"escaped NUL is text", R"({"op":"ping","path":"a\u0000b"})", {kOk}});
  cases.push_back({"raw NUL in a string",
                   "{\"op\":\"ping\",\"path\":\"a" + std::string(1, '\0') + "b\"}",
                   {kRefused}});
  cases.push_back({"raw line feed in a string", "{\"op\":\"ping\",\"path\":\"a\nb\"}", {kRefused}});
  cases.push_back({"unknown escape", R"({"op":"ping","path":"\x41"})", {kRefused}});
  cases.push_back({"short unicode escape", R"({"op":"ping","path":"\u41"})", {kRefused}});
  cases.push_back(
      {"UTF-16 text", std::string("{\0\"\0o\0p\0\"\0:\0\"\0p\0i\0n\0g\0\"\0}\0", 26), {kRefused}});
  return cases;
}

std::vector<Case> badNumbers() {
  std::vector<Case> cases;
  auto add = [&](const std::string& name, const std::string& field, const std::string& number,
                 std::vector<Outcome> allowed) {
    cases.push_back({name + " as " + field, "{\"op\":\"ping\",\"" + field + "\":" + number + "}",
                     std::move(allowed)});
  };
  for (const std::string field : {"count", "timeout", "unknown"}) {
    for (const std::string word : {"NaN", "nan", "Infinity", "-Infinity", "inf", "+1", "0x10", ".5",
                                   "1.", "01", "1e", "--1", "1_000"}) {
      add(word, field, word, {kRefused});
    }
    add("beyond double", field, "1e400",
        field == "unknown" ? std::vector{kOk, kRefused} : std::vector{kRefused});
    add("below double", field, "-1e400",
        field == "unknown" ? std::vector{kOk, kRefused} : std::vector{kRefused});
    add("a thousand digits", field, repeat("9", 1000),
        field == "count" ? std::vector{kRefused} : std::vector{kOk, kRefused});
  }
  add("2^63", "count", "9223372036854775808", {kRefused});
  add("-2^63-1", "count", "-9223372036854775809", {kRefused});
  add("2^64", "count", "18446744073709551616", {kRefused});
  add("1e19", "count", "1e19", {kRefused});
  add("a fraction", "count", "2.5", {kRefused});
  add("-2^63", "count", "-9223372036854775808", {kOk});
  add("2^63-1", "count", "9223372036854775807", {kOk});
  add("an underflow", "timeout", "1e-400", {kOk, kRefused});
  add("a negative zero", "timeout", "-0", {kOk});
  add("digits beyond an int64", "timeout", "123456789012345678901234567890", {kOk});
  return cases;
}

std::vector<Case> framing() {
  const std::string ping = R"({"op":"ping"})";
  const std::string bom = "\xef\xbb\xbf";
  return {
      {"byte-order mark first", bom + ping, {kOk, kRefused}},
      {"byte-order mark inside", "{" + bom + R"("op":"ping"})", {kRefused}},
      {"byte-order mark last", ping + bom, {kRefused}},
      {"trailing word", ping + " x", {kRefused}},
      {"second object", ping + ping, {kRefused}},
      {"trailing comma", ping + ",", {kRefused}},
      {"trailing brace", ping + "}", {kRefused}},
      {"trailing NUL", ping + std::string(1, '\0'), {kRefused}},
      {"trailing comment", ping + " // x", {kRefused}},
      {"trailing white space", " \t\r\n" + ping + " \t\r\n", {kOk}},
      {"comma before the brace", R"({"op":"ping",})", {kRefused}},
      {"single quotes", "{'op':'ping'}", {kRefused}},
      {"bare key", "{op:\"ping\"}", {kRefused}},
      {"only white space", " \n\t ", {kRefused}},
      {"a string", "\"ping\"", {kRefused}},
      {"null", "null", {kRefused}},
      {"an array", "[" + ping + "]", {kRefused}},
  };
}

std::vector<Case> duplicates() {
  return {
      {"op twice, the same", R"({"op":"ping","op":"ping"})", {kOk}},
      {"op twice, unknown then ping", R"({"op":"nope","op":"ping"})", {kOk, kFailed}},
      {"op twice, ping then unknown", R"({"op":"ping","op":"nope"})", {kOk, kFailed}},
      {"op twice, one of the wrong type", R"({"op":"ping","op":5})", {kRefused}},
      {"op then null", R"({"op":"ping","op":null})", {kRefused}},
      {"count twice, one of the wrong type", R"({"op":"ping","count":"x","count":5})", {kRefused}},
      {"path twice", R"({"op":"ping","path":"a","path":"b"})", {kOk}},
      {"a thousand copies of a key",
       "{\"op\":\"ping\"" + repeat(",\"path\":\"a\"", 1000) + "}",
       {kOk}},
  };
}

// Every field given a value of every JSON type: only its own type (or null) passes.
std::vector<Case> wrongTypes() {
  enum Kind { kString, kBoolean, kNumber, kInteger, kStrings };
  const std::pair<const char*, Kind> fields[] = {
      {"workspace_root", kString}, {"path", kString},          {"paths", kStrings},
      {"content", kString},        {"diff", kString},          {"dry_run", kBoolean},
      {"message", kString},        {"command", kString},       {"timeout", kNumber},
      {"allow_network", kBoolean}, {"name", kString},          {"branch", kString},
      {"remote", kString},         {"set_upstream", kBoolean}, {"worktree", kBoolean},
      {"staged", kBoolean},        {"scope", kString},         {"base_branch", kString},
      {"count", kInteger},         {"worktree_path", kString}, {"prune", kBoolean},
      {"no_ff", kBoolean},
  };
  struct Value {
    const char* json;
    std::vector<Kind> fits;
  };
  const Value values[] = {
      {R"("x")", {kString}},
      {R"("5")", {kString}},
      {"5", {kNumber, kInteger}},
      {"2.5", {kNumber}},
      {"true", {kBoolean}},
      {"0", {kNumber, kInteger}},
      {"[]", {kStrings}},
      {R"(["x"])", {kStrings}},
      {"[1]", {}},
      {"[null]", {}},
      {"{}", {}},
  };
  std::vector<Case> cases;
  for (const auto& [field, kind] : fields) {
    for (const Value& value : values) {
      const bool fits = std::find(value.fits.begin(), value.fits.end(), kind) != value.fits.end();
      cases.push_back({std::string(field) + "=" + value.json,
                       "{\"op\":\"ping\",\"" + std::string(field) + "\":" + value.json + "}",
                       {fits ? kOk : kRefused}});
    }
    cases.push_back({std::string(field) + "=null",
                     "{\"op\":\"ping\",\"" + std::string(field) + "\":null}",
                     {kOk}});
  }
  for (const Value& value : values) {
    const bool fits = std::string(value.json).front() == '"';
    cases.push_back({std::string("op=") + value.json,
                     std::string("{\"op\":") + value.json + "}",
                     {fits ? kFailed : kRefused}});
  }
  cases.push_back({"op=null", R"({"op":null})", {kRefused}});
  cases.push_back({"Op in capitals", R"({"Op":"ping"})", {kRefused}});
  return cases;
}

TEST(HostileInput, TruncatedRequests) {
  sendEverywhere(truncations());
}
TEST(HostileInput, DeepNesting) {
  sendEverywhere(deepNesting());
}
TEST(HostileInput, InvalidTextAndEscapes) {
  sendEverywhere(badText());
}
TEST(HostileInput, NumbersBeyondRangeAndNotNumbers) {
  sendEverywhere(badNumbers());
}
TEST(HostileInput, MarksAndGarbageAroundTheObject) {
  sendEverywhere(framing());
}
TEST(HostileInput, DuplicateKeys) {
  sendEverywhere(duplicates());
}
TEST(HostileInput, EveryFieldWithEveryType) {
  sendEverywhere(wrongTypes());
}

}  // namespace
}  // namespace omvi_test
