// Strict reading of JSON with simdjson's On-Demand parser, shared by the request decoder and
// the service's JSON-RPC envelope.
//
// Owns: the walk that validates a value nobody reads (On-Demand skips what it is not asked
// for, so malformed JSON inside an unused value would otherwise pass), its depth limit, and
// the raw text of a token. Does not own: what any field means.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace OmviAgentRunnerMain {

/// Values nested deeper than this are refused before they can exhaust the walk's stack.
inline constexpr std::size_t kMaxJsonDepth = 512;

/// Reads |value| whole, at nesting |depth|: SUCCESS when it is well-formed JSON, else the
/// error that stopped it (DEPTH_ERROR past kMaxJsonDepth). With |duplicateKey|, an object
/// that repeats a key (compared unescaped) also stops the walk: the key is stored there and
/// INCORRECT_TYPE returned.
[[nodiscard]] simdjson::error_code validateJsonValue(simdjson::ondemand::value value,
                                                     std::size_t depth = 1,
                                                     std::string* duplicateKey = nullptr);

/// Reads the scalar |source| (an On-Demand value or a whole document) of the |type| it
/// reported: SUCCESS when it is a well-formed string, number, boolean or null.
template <typename Source>
[[nodiscard]] simdjson::error_code validateJsonScalar(Source& source,
                                                      simdjson::ondemand::json_type type) {
  using simdjson::ondemand::json_type;
  switch (type) {
    case json_type::string: {
      std::string_view text;
      return source.get_string().get(text);
    }
    case json_type::number: {
      double number = 0;
      return source.get_double().get(number);
    }
    case json_type::boolean: {
      bool flag = false;
      return source.get_bool().get(flag);
    }
    case json_type::null: {
      bool isNull = false;
      if (auto error = source.is_null().get(isNull)) return error;
      return isNull ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
    }
    case json_type::object:
    case json_type::array:
      break;
  }
  return simdjson::INCORRECT_TYPE;
}

/// A raw token without the JSON white space On-Demand leaves behind it.
[[nodiscard]] std::string_view withoutTrailingJsonSpace(std::string_view token);

}  // namespace OmviAgentRunnerMain
