// The response encoder on responses built from any bytes. Properties:
// - a response whose texts are all valid UTF-8 encodes to one compact JSON object that a
//   strict parser reads back field for field, keys in byte order, absent fields left out,
//   every "/" escaped, no raw control character, no white space between tokens;
// - any other response encodes to exactly the fixed encode_failed text.
#include <simdjson.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "runner/records.h"
#include "runner/text.h"

namespace {

using namespace OmviAgentRunnerMain;
using omvi_fuzz::FuzzInput;

std::optional<std::string> maybeText(FuzzInput& input) {
  if (!input.flag()) return std::nullopt;
  return input.field();
}

bool valid(const std::optional<std::string>& text) {
  return !text || isValidUtf8(*text);
}

// True when |encoded| has no white space or raw "/" outside its strings.
bool compactWithEscapedSlashes(std::string_view encoded) {
  bool inString = false;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      } else if (c == '/') {
        return false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '/') {
      return false;
    }
  }
  return !inString;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  RunnerResponse response;
  response.ok = input.flag();
  response.pid = static_cast<std::int32_t>(input.integer());
  if (input.flag()) response.writtenBytes = static_cast<std::int64_t>(input.integer());
  if (input.flag()) response.exitStatus = static_cast<std::int32_t>(input.integer());
  response.error = maybeText(input);
  response.path = maybeText(input);
  response.message = maybeText(input);
  response.stdoutText = maybeText(input);
  response.stderrText = maybeText(input);
  if (input.flag()) {
    response.affectedPaths.emplace();
    const int count = input.byte() % 8;
    for (int i = 0; i < count; ++i)
      response.affectedPaths->push_back(input.field());
  }
  if (input.flag()) response.helper = input.field();

  const std::string encoded = encodeToString(response);
  bool allValid = valid(response.error) && valid(response.path) && valid(response.message) &&
                  valid(response.stdoutText) && valid(response.stderrText) &&
                  isValidUtf8(response.helper);
  if (response.affectedPaths) {
    for (const auto& path : *response.affectedPaths)
      allValid = allValid && isValidUtf8(path);
  }
  if (!allValid) {
    FUZZ_CHECK(encoded == kEncodeFailedText, "%s", encoded.c_str());
    return 0;
  }
  FUZZ_CHECK(compactWithEscapedSlashes(encoded), "%s", encoded.c_str());

  simdjson::dom::parser parser;
  simdjson::dom::object object;
  FUZZ_CHECK(parser.parse(encoded).get(object) == simdjson::SUCCESS, "%s", encoded.c_str());
  std::vector<std::string> keys;
  for (auto field : object)
    keys.emplace_back(field.key);
  for (std::size_t i = 1; i < keys.size(); ++i) {
    FUZZ_CHECK(keys[i - 1] < keys[i], "keys out of order in %s", encoded.c_str());
  }
  // |value| only names the type the field is read as.
  auto field = [&](const char* key, const auto& written, auto value) {
    const std::optional expected(written);  // a field every response has, or an optional one
    const auto error = object[key].get(value);
    if (!expected) {
      FUZZ_CHECK(error == simdjson::NO_SUCH_FIELD, "%s written though absent", key);
      return;
    }
    FUZZ_CHECK(error == simdjson::SUCCESS && value == *expected, "%s differs in %s", key,
               encoded.c_str());
  };
  bool ok = !response.ok;
  FUZZ_CHECK(object["ok"].get(ok) == simdjson::SUCCESS && ok == response.ok, "ok differs");
  field("error", response.error, std::string_view{});
  field("path", response.path, std::string_view{});
  field("message", response.message, std::string_view{});
  field("stdout", response.stdoutText, std::string_view{});
  field("stderr", response.stderrText, std::string_view{});
  field("helper", response.helper, std::string_view{});
  field("pid", response.pid, std::int64_t{});
  field("written_bytes", response.writtenBytes, std::int64_t{});
  field("exit_status", response.exitStatus, std::int64_t{});
  simdjson::dom::array list;
  const auto listError = object["affected_paths"].get(list);
  if (!response.affectedPaths) {
    FUZZ_CHECK(listError == simdjson::NO_SUCH_FIELD, "affected_paths written though absent");
  } else {
    FUZZ_CHECK(listError == simdjson::SUCCESS, "affected_paths missing");
    std::size_t i = 0;
    for (auto item : list) {
      std::string_view value;
      FUZZ_CHECK(item.get(value) == simdjson::SUCCESS && i < response.affectedPaths->size() &&
                     value == (*response.affectedPaths)[i],
                 "affected_paths[%zu] differs", i);
      ++i;
    }
    FUZZ_CHECK(i == response.affectedPaths->size(), "affected_paths lost entries");
  }
  return 0;
}
