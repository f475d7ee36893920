#include "runner/request_decoder.h"

#include <simdjson.h>

#include <cmath>
#include <limits>
#include <type_traits>
#include <unordered_set>

#include "runner/json_walk.h"
#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

namespace od = simdjson::ondemand;
static_assert(kDecoderPadding >= simdjson::SIMDJSON_PADDING);
using simdjson::error_code;

// A decoding failure on its way out: either a JSON-level error or a sentence of our own.
struct Failure {
  error_code code = simdjson::SUCCESS;
  std::string sentence;
};

std::string describe(error_code code) {
  switch (code) {
    case simdjson::EMPTY:
      return "the request is empty or only white space";
    case simdjson::UTF8_ERROR:
      return "the request is not valid UTF-8";
    case simdjson::DEPTH_ERROR:
      return "the request is nested too deeply";
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
      return "the request holds a malformed or out-of-range number";
    case simdjson::STRING_ERROR:
      return "the request holds a malformed string escape";
    case simdjson::UNESCAPED_CHARS:
      return "the request holds a control character that is not escaped";
    case simdjson::UNCLOSED_STRING:
      return "the request holds an unterminated string";
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR:
      return "the request holds a misspelled true, false or null";
    case simdjson::TRAILING_CONTENT:
      return "the request has text after its JSON value";
    case simdjson::CAPACITY:
    case simdjson::MEMALLOC:
      return "the request is too large to decode";
    default:
      return "the request is not well-formed JSON";
  }
}

// Whether |token| is a number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?.
// simdjson refuses a well-formed number beyond its range with the same error as a malformed
// one; this tells them apart.
bool isJsonNumberText(std::string_view token) {
  std::size_t at = 0;
  auto digits = [&] {
    const std::size_t from = at;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9')
      ++at;
    return at > from;
  };
  if (at < token.size() && token[at] == '-') ++at;
  if (at < token.size() && token[at] == '0') {
    ++at;
  } else if (!digits()) {
    return false;
  }
  if (at < token.size() && token[at] == '.') {
    ++at;
    if (!digits()) return false;
  }
  if (at < token.size() && (token[at] == 'e' || token[at] == 'E')) {
    ++at;
    if (at < token.size() && (token[at] == '+' || token[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == token.size();
}

// A repeated key's name for a description: its first characters, quoted.
std::string quotedKey(std::string_view key) {
  if (!isValidUtf8(key)) return "a key";
  const std::string_view shown = graphemePrefix(key, 64, 256);
  return "key \"" + std::string(shown) + (shown.size() < key.size() ? "\u2026" : "") + "\"";
}

Failure repeatedKey(std::string_view key) {
  return Failure{simdjson::SUCCESS, quotedKey(key) + " appears more than once"};
}

// The text of a string value that has no escapes, straight from the input (stage one
// already validated its UTF-8 and control characters); nothing when it has escapes.
std::optional<std::string_view> unescapedString(od::value value) {
  const std::string_view raw = withoutTrailingJsonSpace(value.raw_json_token());
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"' &&
      raw.find('\\') == std::string_view::npos) {
    return raw.substr(1, raw.size() - 2);
  }
  return std::nullopt;
}

// A string value, copied once: directly from the input when it has no escapes.
error_code readString(od::value value, std::string& out) {
  if (auto direct = unescapedString(value)) {
    out.assign(*direct);
    return simdjson::SUCCESS;
  }
  std::string_view text;
  if (auto error = value.get_string().get(text)) return error;
  out.assign(text);
  return simdjson::SUCCESS;
}

// The owner of the input when string fields may share it instead of copying; may be null.
using InputOwner = std::shared_ptr<const void>;

template <typename T>
std::optional<Failure> readField(od::value value, std::string_view key, std::optional<T>& out,
                                 const InputOwner& owner = nullptr) {
  auto wrongType = [&](std::string_view expected) {
    return Failure{simdjson::SUCCESS,
                   "field \"" + std::string(key) + "\" must be " + std::string(expected)};
  };
  auto outOfRange = [&] {
    return Failure{simdjson::SUCCESS,
                   "field \"" + std::string(key) + "\" is out of the 64-bit integer range"};
  };
  // A number simdjson cannot hold is out of range when it is written as JSON writes numbers.
  auto numberFailure = [&](error_code error) {
    return isJsonNumberText(withoutTrailingJsonSpace(value.raw_json_token())) ? outOfRange()
                                                                              : Failure{error, {}};
  };
  od::json_type type;
  if (auto error = value.type().get(type)) return Failure{error, {}};
  if (type == od::json_type::null) {
    if (auto error = validateJsonValue(value, 1)) return Failure{error, {}};
    out.reset();
    return std::nullopt;
  }
  if constexpr (std::is_same_v<T, SharedText>) {
    if (type != od::json_type::string) return wrongType("a string");
    const auto direct = owner ? unescapedString(value) : std::nullopt;
    if (direct) {
      out = SharedText(*direct, owner);
      return std::nullopt;
    }
    std::string text;
    if (auto error = readString(value, text)) return Failure{error, {}};
    out = SharedText(std::move(text));
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (type != od::json_type::string) return wrongType("a string");
    std::string text;
    if (auto error = readString(value, text)) return Failure{error, {}};
    out = std::move(text);
  } else if constexpr (std::is_same_v<T, bool>) {
    if (type != od::json_type::boolean) return wrongType("true or false");
    bool flag = false;
    if (auto error = value.get_bool().get(flag)) return Failure{error, {}};
    out = flag;
  } else if constexpr (std::is_same_v<T, double>) {
    if (type != od::json_type::number) return wrongType("a number");
    double number = 0;
    if (auto error = value.get_double().get(number)) return Failure{error, {}};
    out = number;
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    if (type != od::json_type::number) return wrongType("an integer");
    od::number_type numberType;
    if (auto error = value.get_number_type().get(numberType)) return numberFailure(error);
    if (numberType == od::number_type::signed_integer) {
      std::int64_t integer = 0;
      if (auto error = value.get_int64().get(integer)) return numberFailure(error);
      out = integer;
      return std::nullopt;
    }
    if (numberType == od::number_type::unsigned_integer) return outOfRange();
    // A whole number written with a fraction or an exponent (2.0, 1e3) is still an integer.
    double number = 0;
    if (auto error = value.get_double().get(number)) return numberFailure(error);
    if (std::trunc(number) != number) return wrongType("an integer");
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (number < -kLimit || number >= kLimit) return outOfRange();
    out = static_cast<std::int64_t>(number);
  } else {
    static_assert(std::is_same_v<T, std::vector<std::string>>);
    if (type != od::json_type::array) return wrongType("an array of strings");
    od::array array;
    if (auto error = value.get_array().get(array)) return Failure{error, {}};
    std::vector<std::string> list;
    for (auto element : array) {
      od::value item;
      if (auto error = element.get(item)) return Failure{error, {}};
      od::json_type itemType;
      if (auto error = item.type().get(itemType)) return Failure{error, {}};
      if (itemType != od::json_type::string) return wrongType("an array of strings");
      std::string text;
      if (auto error = readString(item, text)) return Failure{error, {}};
      list.push_back(std::move(text));
    }
    out = std::move(list);
  }
  return std::nullopt;
}

// Reads one field into |request|; unknown keys are validated and dropped.
std::optional<Failure> readKnownField(std::string_view key, od::value value,
                                      const InputOwner& owner, RunnerRequest& request,
                                      bool& sawOp) {
  if (key == "op") {
    std::optional<std::string> op;
    if (auto problem = readField(value, key, op)) return problem;
    if (!op) return Failure{simdjson::SUCCESS, "field \"op\" must be a string, not null"};
    request.op = std::move(*op);
    sawOp = true;
    return std::nullopt;
  }
  if (key == "workspace_root") return readField(value, key, request.workspaceRoot);
  if (key == "path") return readField(value, key, request.path);
  if (key == "paths") return readField(value, key, request.paths);
  if (key == "content") return readField(value, key, request.content, owner);
  if (key == "diff") return readField(value, key, request.diff);
  if (key == "dry_run") return readField(value, key, request.dryRun);
  if (key == "message") return readField(value, key, request.message);
  if (key == "command") return readField(value, key, request.command);
  if (key == "timeout") return readField(value, key, request.timeout);
  if (key == "allow_network") return readField(value, key, request.allowNetwork);
  if (key == "name") return readField(value, key, request.name);
  if (key == "branch") return readField(value, key, request.branch);
  if (key == "remote") return readField(value, key, request.remote);
  if (key == "set_upstream") return readField(value, key, request.setUpstream);
  if (key == "worktree") return readField(value, key, request.worktree);
  if (key == "staged") return readField(value, key, request.staged);
  if (key == "scope") return readField(value, key, request.scope);
  if (key == "base_branch") return readField(value, key, request.baseBranch);
  if (key == "count") return readField(value, key, request.count);
  if (key == "worktree_path") return readField(value, key, request.worktreePath);
  if (key == "prune") return readField(value, key, request.prune);
  if (key == "no_ff") return readField(value, key, request.noFf);
  std::string repeated;
  if (auto error = validateJsonValue(value, 1, &repeated)) {
    return repeated.empty() ? Failure{error, {}} : repeatedKey(repeated);
  }
  return std::nullopt;
}

DecodedRequest decodePadded(simdjson::padded_string_view input, const InputOwner& owner) {
  auto fail = [](const Failure& failure) {
    return DecodedRequest{std::nullopt,
                          failure.sentence.empty() ? describe(failure.code) : failure.sentence};
  };
  od::parser parser;
  od::document document;
  if (auto error = parser.iterate(input).get(document)) return fail({error, {}});
  od::json_type type;
  if (auto error = document.type().get(type)) return fail({error, {}});
  if (type != od::json_type::object) {
    // Tell malformed text from a well-formed value that is not an object.
    simdjson::dom::parser strict;
    simdjson::dom::element ignored;
    if (auto error = strict.parse(input.data(), input.size()).get(ignored))
      return fail({error, {}});
    return fail({simdjson::SUCCESS, "the request must be a JSON object"});
  }
  od::object object;
  if (auto error = document.get_object().get(object)) return fail({error, {}});
  RunnerRequest request;
  bool sawOp = false;
  // A repeated key is refused, not resolved: a front end that reads the first of two
  // workspace roots would check another root than the one acted on.
  std::unordered_set<std::string> seen;
  for (auto field : object) {
    std::string_view key;
    if (auto error = field.unescaped_key().get(key)) return fail({error, {}});
    if (!seen.emplace(key).second) return fail(repeatedKey(key));
    od::value value;
    if (auto error = field.value().get(value)) return fail({error, {}});
    if (auto problem = readKnownField(key, value, owner, request, sawOp)) return fail(*problem);
  }
  const char* trailing = nullptr;
  if (document.current_location().get(trailing) != simdjson::OUT_OF_BOUNDS) {
    return fail({simdjson::TRAILING_CONTENT, {}});
  }
  if (!sawOp) return fail({simdjson::SUCCESS, "field \"op\" is missing"});
  return DecodedRequest{std::move(request), {}};
}

}  // namespace

DecodedRequest decodeRequest(std::string_view bytes) {
  if (bytes.empty()) return DecodedRequest{std::nullopt, describe(simdjson::EMPTY)};
  const simdjson::padded_string padded(bytes);
  return decodePadded(simdjson::padded_string_view(padded.data(), padded.size(),
                                                   padded.size() + simdjson::SIMDJSON_PADDING),
                      nullptr);
}

DecodedRequest decodePaddedRequest(std::string_view bytes,
                                   const std::shared_ptr<const void>& owner) {
  if (bytes.empty()) return DecodedRequest{std::nullopt, describe(simdjson::EMPTY)};
  return decodePadded(
      simdjson::padded_string_view(bytes.data(), bytes.size(), bytes.size() + kDecoderPadding),
      owner);
}

}  // namespace OmviAgentRunnerMain
