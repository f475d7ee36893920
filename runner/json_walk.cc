#include "runner/json_walk.h"

#include <unordered_set>

namespace OmviAgentRunnerMain {

namespace od = simdjson::ondemand;
using simdjson::error_code;

error_code validateJsonValue(od::value value, std::size_t depth, std::string* duplicateKey) {
  if (depth > kMaxJsonDepth) return simdjson::DEPTH_ERROR;
  od::json_type type;
  if (auto error = value.type().get(type)) return error;
  switch (type) {
    case od::json_type::object: {
      od::object object;
      if (auto error = value.get_object().get(object)) return error;
      std::unordered_set<std::string> seen;
      for (auto field : object) {
        std::string_view key;
        if (auto error = field.unescaped_key().get(key)) return error;
        if (duplicateKey != nullptr && !seen.emplace(key).second) {
          duplicateKey->assign(key);
          return simdjson::INCORRECT_TYPE;
        }
        od::value inner;
        if (auto error = field.value().get(inner)) return error;
        if (auto error = validateJsonValue(inner, depth + 1, duplicateKey)) return error;
      }
      return simdjson::SUCCESS;
    }
    case od::json_type::array: {
      od::array array;
      if (auto error = value.get_array().get(array)) return error;
      for (auto element : array) {
        od::value inner;
        if (auto error = element.get(inner)) return error;
        if (auto error = validateJsonValue(inner, depth + 1, duplicateKey)) return error;
      }
      return simdjson::SUCCESS;
    }
    case od::json_type::string:
    case od::json_type::number:
    case od::json_type::boolean:
    case od::json_type::null:
      return validateJsonScalar(value, type);
  }
  return simdjson::SUCCESS;
}

std::string_view withoutTrailingJsonSpace(std::string_view token) {
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t' || token.back() == '\n' ||
                            token.back() == '\r')) {
    token.remove_suffix(1);
  }
  return token;
}

}  // namespace OmviAgentRunnerMain
