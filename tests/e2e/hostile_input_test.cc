// Hostile input end to end: the JSON conformance corpus and a generated corpus of malformed
// requests, each sent through every way in. Whatever arrives, the runner answers with one line
// of JSON and the status that goes with it, in time, and writes nothing to standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "tests/support/test_support.h"
#include "tests/support/transports.h"

namespace omvi_test {
namespace {

using enum Outcome;

struct Case {
  std::string name;
  std::string request;
  std::vector<Outcome> allowed;
  std::string error = "";  ///< the exact error to answer; "" when any will do
};

// Sends every case over each of |ways| (every way in by default), and hands each answer's
// error text to |check|.
void sendEverywhere(const std::vector<Case>& cases,
                    const std::vector<Way>& ways = {std::begin(kWays), std::end(kWays)},
                    const std::function<void(const Case&, const std::string&)>& check = {}) {
  forEachInParallel(cases.size() * ways.size(), [&](std::size_t i) {
    const Case& each = cases[i / ways.size()];
    const Way way = ways[i % ways.size()];
    if (!carries(way, each.request) || !sampled(way, i / ways.size())) return;
    const std::string error =
        expectAnswer(send(way, each.request), each.allowed, each.name + " over " + nameOf(way));
    if (check) check(each, error);
  });
}

// ---- The JSON conformance corpus ----------------------------------------------------------

// Every document of tests/data/jsontestsuite (y_ must parse, n_ must be refused, i_ either),
// as the whole request and as the value of a key of ping that nobody reads: once over the
// command line and once over the socket (the parser's conformance itself is the fuzz seeds').
TEST(HostileInput, EveryConformanceDocumentAsTheRequestAndAsAnUnreadValue) {
  std::vector<Case> whole, unread;
  for (const auto& entry : std::filesystem::directory_iterator(OMVI_TEST_DATA "/jsontestsuite")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(file), {});
    // No request at all is the usage answer, the command line's business.
    if (!bytes.empty()) whole.push_back({name, bytes, {kRefused}});
    // JSON allows a repeated key; a request never does, at any depth.
    const bool repeatsAKey = name.find("duplicated_key") != std::string::npos;
    unread.push_back({name + " unread", "{\"op\":\"ping\",\"unknown\":" + bytes + "}",
                      repeatsAKey      ? std::vector{kRefused}
                      : name[0] == 'y' ? std::vector{kOk}
                      : name[0] == 'n' ? std::vector{kRefused}
                                       : std::vector{kOk, kRefused}});
  }
  ASSERT_GT(whole.size(), 300U);
  const std::vector<Way> kOnce{Way::kStandardInput, Way::kSocket};
  // None of them is a request; a y_ document must still be read as JSON to its end.
  sendEverywhere(whole, kOnce, [](const Case& each, const std::string& error) {
    const bool wellFormed = error == "invalid JSON request: the request must be a JSON object" ||
                            error == "invalid JSON request: field \"op\" is missing" ||
                            error.ends_with("appears more than once");
    if (each.name[0] != 'i') {
      EXPECT_EQ(wellFormed, each.name[0] == 'y') << each.name << ": " << error;
    }
  });
  sendEverywhere(unread, kOnce);
}

// ---- Malformed requests --------------------------------------------------------------------

// The cases of tests/data/malformed_requests.txt (its first lines say how they are written).
std::vector<Case> malformedRequests() {
  std::vector<Case> cases;
  std::ifstream file(OMVI_TEST_DATA "/malformed_requests.txt");
  int number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    Case each{"malformed_requests.txt:" + std::to_string(number), "", {}};
    const std::size_t tab = line.find('\t');
    if (tab != std::string::npos) each.error = line.substr(tab + 1);
    line.resize(std::min(tab, line.size()));
    const std::size_t space = line.find(' ');
    std::istringstream outcomes(line.substr(0, space));
    for (std::string outcome; std::getline(outcomes, outcome, '|');)
      each.allowed.push_back(outcome == "ok" ? kOk : outcome == "failed" ? kFailed : kRefused);
    for (std::size_t i = space + 1; i < line.size(); ++i) {
      const bool escaped = line[i] == '%';
      each.request.push_back(
          escaped ? static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)) : line[i]);
      i += escaped ? 2 : 0;
    }
    cases.push_back(each);
  }
  return cases;
}

// Cases too large or too regular to write out: a request using every field cut short every
// nine bytes, nesting 100000 deep, a thousand digits, a thousand copies of a key.
std::vector<Case> generated() {
  const std::string full =
      R"({"op":"ping","workspace_root":"/ws","path":"a/b","paths":["a","b"],"content":"x\ny",)"
      R"("diff":"d","dry_run":true,"message":"m","command":"true","timeout":30,)"
      R"("allow_network":false,"name":"n","branch":"b","remote":"origin","set_upstream":true,)"
      R"("worktree":true,"staged":false,"scope":"staged","base_branch":"main","count":5,)"
      R"("worktree_path":"w","prune":false,"no_ff":true})";
  std::vector<Case> cases;
  for (std::size_t length = 1; length < full.size(); length += 9)
    cases.push_back({"cut to " + std::to_string(length), full.substr(0, length), {kRefused}});
  constexpr std::size_t kDeep = 100000;
  const std::string x = R"({"op":"ping","x":)", open = repeat("[", kDeep),
                    close = repeat("]", kDeep);
  const std::string nines = repeat("9", 1000);
  // clang-format off
  const std::vector<Case> large = {
      {"arrays deep", x + open + close + "}", {kRefused}},
      {"objects deep", x + repeat("{\"a\":", kDeep) + "1" + repeat("}", kDeep) + "}", {kRefused}},
      {"arrays deep, never closed", x + open, {kRefused}},
      {"a top level deep", open + close, {kRefused}},
      {"paths deep", R"({"op":"ping","paths":)" + open + close + "}", {kRefused}},
      {"nesting within the limit", x + repeat("[", 100) + repeat("]", 100) + "}", {kOk}},
      {"a thousand digits as count", R"({"op":"ping","count":)" + nines + "}", {kRefused}},
      {"a thousand digits as timeout", R"({"op":"ping","timeout":)" + nines + "}", {kOk, kRefused}},
      {"a thousand digits unread", x + nines + "}", {kOk, kRefused}},
      {"a thousand copies of a key", R"({"op":"ping")" + repeat(R"(,"path":"a")", 1000) + "}", {kRefused}},
  };
  // clang-format on
  cases.insert(cases.end(), large.begin(), large.end());
  return cases;
}

// Every field given a value of every JSON type: only its own type (or null) passes. Kinds: s a
// string, b true or false, n a number, i an integer, l a list of strings.
std::vector<Case> wrongTypes() {
  const std::pair<std::string, char> fields[] = {
      {"workspace_root", 's'}, {"path", 's'},          {"paths", 'l'},    {"content", 's'},
      {"diff", 's'},           {"dry_run", 'b'},       {"message", 's'},  {"command", 's'},
      {"timeout", 'n'},        {"allow_network", 'b'}, {"name", 's'},     {"branch", 's'},
      {"remote", 's'},         {"set_upstream", 'b'},  {"worktree", 'b'}, {"staged", 'b'},
      {"scope", 's'},          {"base_branch", 's'},   {"count", 'i'},    {"worktree_path", 's'},
      {"prune", 'b'},          {"no_ff", 'b'}};
  // clang-format off
  const std::pair<std::string, const char*> values[] = {  // a value, and the kinds it fits
      {R"("x")", "s"}, {R"("5")", "s"}, {"5", "ni"}, {"2.5", "n"}, {"true", "b"}, {"0", "ni"},
      {"[]", "l"}, {R"(["x"])", "l"}, {"[1]", ""}, {"[null]", ""}, {"{}", ""}, {"null", "sbnil"}};
  // clang-format on
  std::vector<Case> cases;
  for (const auto& [json, fits] : values) {
    for (const auto& [field, kind] : fields) {
      cases.push_back({field + "=" + json,
                       R"({"op":"ping",")" + field + "\":" + json + "}",
                       {std::strchr(fits, kind) != nullptr ? kOk : kRefused}});
    }
    // op itself: a string that names no operation fails; anything else is refused.
    cases.push_back({"op=" + json, "{\"op\":" + json + "}", {json[0] == '"' ? kFailed : kRefused}});
  }
  cases.push_back({"Op in capitals", R"({"Op":"ping"})", {kRefused}});
  return cases;
}

TEST(HostileInput, MalformedRequests) {
  const std::vector<Case> cases = malformedRequests();
  ASSERT_GT(cases.size(), 100U);
  sendEverywhere(
      cases, {std::begin(kWays), std::end(kWays)}, [](const Case& each, const std::string& error) {
        EXPECT_TRUE(each.error.empty() || error == each.error) << each.name << ": " << error;
      });
}
TEST(HostileInput, GeneratedRequests) {
  sendEverywhere(generated());
}
TEST(HostileInput, EveryFieldWithEveryType) {
  sendEverywhere(wrongTypes());
}

}  // namespace
}  // namespace omvi_test
