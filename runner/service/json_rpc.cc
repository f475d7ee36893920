#include "runner/service/json_rpc.h"

#include <simdjson.h>

#include <cstring>

#include "runner/json_walk.h"

namespace OmviAgentRunnerMain {
namespace {

namespace od = simdjson::ondemand;
using simdjson::error_code;
static_assert(kEnvelopePadding >= simdjson::SIMDJSON_PADDING);

// Lines up to this size share one parser per thread; a larger one gets a parser of its own,
// so that its buffers are given back as soon as it is decoded.
constexpr std::size_t kSharedParserLimit = std::size_t{1} << 20;

RpcError parseError(std::string detail) {
  return RpcError{"null", RpcErrorCode::kParseError, "Parse error: " + std::move(detail)};
}

RpcError parseError(error_code code) {
  return parseError(std::string(simdjson::error_message(code)));
}

// A document that is not an object (the whole line an array, a number, a string, ...).
error_code validateOtherDocument(od::document& document, od::json_type type) {
  if (type != od::json_type::array) return validateJsonScalar(document, type);
  od::value value;
  if (auto error = document.get_value().get(value)) return error;
  return validateJsonValue(value, 1);
}

bool hasTrailingContent(od::document& document) {
  const char* location = nullptr;
  return document.current_location().get(location) != simdjson::OUT_OF_BOUNDS;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at |at|, or -1.
int readHex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const int digit = hexValue(text[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// Appends |codePoint| in UTF-8's byte pattern; a surrogate gets the same three-byte pattern,
// which no UTF-8 validator accepts.
void appendGeneralisedUtf8(std::string& out, std::uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// Unescapes the body of a JSON string (between its quotation marks). The parser refuses a
// lone surrogate escape outright, but such a request must still be answered as text that
// cannot be converted to UTF-8, so the request string is decoded here, generalised-UTF-8
// style: a lone surrogate becomes bytes that are not valid UTF-8. False for a malformed
// escape or an unescaped control character.
bool unescapeGeneralised(std::string_view body, std::string& out) {
  out.clear();
  out.reserve(body.size());
  std::size_t i = 0;
  while (i < body.size()) {
    const void* found = std::memchr(body.data() + i, '\\', body.size() - i);
    const std::size_t runEnd =
        found ? static_cast<std::size_t>(static_cast<const char*>(found) - body.data())
              : body.size();
    for (std::size_t j = i; j < runEnd; ++j) {
      if (static_cast<unsigned char>(body[j]) < 0x20) return false;
    }
    out.append(body.substr(i, runEnd - i));
    i = runEnd;
    if (i == body.size()) break;
    if (i + 1 >= body.size()) return false;
    const char escape = body[i + 1];
    i += 2;
    switch (escape) {
      case '"':
      case '\\':
      case '/':
        out.push_back(escape);
        continue;
      case 'b':
        out.push_back('\b');
        continue;
      case 'f':
        out.push_back('\f');
        continue;
      case 'n':
        out.push_back('\n');
        continue;
      case 'r':
        out.push_back('\r');
        continue;
      case 't':
        out.push_back('\t');
        continue;
      case 'u':
        break;
      default:
        return false;
    }
    const int unit = readHex4(body, i);
    if (unit < 0) return false;
    i += 4;
    auto codePoint = static_cast<std::uint32_t>(unit);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 6 <= body.size() && body[i] == '\\' &&
        body[i + 1] == 'u') {
      const int low = readHex4(body, i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        codePoint = 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                    (static_cast<std::uint32_t>(low) - 0xDC00);
        i += 6;
      }
    }
    appendGeneralisedUtf8(out, codePoint);
  }
  return true;
}

// What the envelope's fields said, gathered in one pass over the object.
struct Envelope {
  bool versionOk = false;
  std::optional<std::string> id;
  bool idGiven = false;
  std::optional<std::string> method;
  bool methodGiven = false;
  bool paramsOk = false;
  std::string request;
};

// Reads a JSON string value fully (validating its escapes) and returns its raw token.
error_code readRawString(od::value value, std::string_view& raw) {
  raw = withoutTrailingJsonSpace(value.raw_json_token());
  std::string_view unused;
  return value.get_string().get(unused);
}

// The request string: its raw body, decoded by `unescapeGeneralised`.
std::optional<RpcError> readRequestText(od::value value, Envelope& envelope) {
  const std::string_view raw = withoutTrailingJsonSpace(value.raw_json_token());
  if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
    return parseError("malformed string");
  }
  if (!unescapeGeneralised(raw.substr(1, raw.size() - 2), envelope.request)) {
    return parseError("the request string holds a malformed escape or a control character");
  }
  // The parser still has to step over the string it was not asked to decode.
  od::raw_json_string unused;
  if (auto error = value.get_raw_json_string().get(unused)) return parseError(error);
  return std::nullopt;
}

std::optional<RpcError> readParams(od::value value, Envelope& envelope) {
  od::json_type type;
  if (auto error = value.type().get(type)) return parseError(error);
  if (type == od::json_type::object) {
    od::object object;
    if (auto error = value.get_object().get(object)) return parseError(error);
    bool sawRequest = false;
    bool requestIsString = true;
    for (auto field : object) {
      std::string_view key;
      if (auto error = field.unescaped_key().get(key)) return parseError(error);
      od::value inner;
      if (auto error = field.value().get(inner)) return parseError(error);
      od::json_type innerType;
      if (auto error = inner.type().get(innerType)) return parseError(error);
      if (key == "request" && innerType == od::json_type::string) {
        if (auto failure = readRequestText(inner, envelope)) return failure;
        sawRequest = true;
        continue;
      }
      if (key == "request") requestIsString = false;
      if (auto error = validateJsonValue(inner, 2)) return parseError(error);
    }
    envelope.paramsOk = sawRequest && requestIsString;
    return std::nullopt;
  }
  if (type == od::json_type::array) {
    od::array array;
    if (auto error = value.get_array().get(array)) return parseError(error);
    std::size_t count = 0;
    bool firstIsString = false;
    for (auto element : array) {
      od::value inner;
      if (auto error = element.get(inner)) return parseError(error);
      od::json_type innerType;
      if (auto error = inner.type().get(innerType)) return parseError(error);
      if (count++ == 0 && innerType == od::json_type::string) {
        if (auto failure = readRequestText(inner, envelope)) return failure;
        firstIsString = true;
        continue;
      }
      if (auto error = validateJsonValue(inner, 2)) return parseError(error);
    }
    envelope.paramsOk = count == 1 && firstIsString;
    return std::nullopt;
  }
  if (auto error = validateJsonValue(value, 1)) return parseError(error);
  envelope.paramsOk = false;
  return std::nullopt;
}

std::optional<RpcError> readField(std::string_view key, od::value value, Envelope& envelope) {
  od::json_type type;
  if (auto error = value.type().get(type)) return parseError(error);
  if (key == "jsonrpc" && type == od::json_type::string) {
    std::string_view version;
    if (auto error = value.get_string().get(version)) return parseError(error);
    envelope.versionOk = version == "2.0";
    return std::nullopt;
  }
  if (key == "jsonrpc") {
    envelope.versionOk = false;
  } else if (key == "id") {
    envelope.idGiven = true;
    envelope.id.reset();
    if (type == od::json_type::string) {
      std::string_view raw;
      if (auto error = readRawString(value, raw)) return parseError(error);
      envelope.id = std::string(raw);
      return std::nullopt;
    }
    if (type == od::json_type::number) {
      const std::string_view raw = withoutTrailingJsonSpace(value.raw_json_token());
      double number;
      if (auto error = value.get_double().get(number)) return parseError(error);
      envelope.id = std::string(raw);
      return std::nullopt;
    }
  } else if (key == "method") {
    envelope.methodGiven = true;
    envelope.method.reset();
    if (type == od::json_type::string) {
      std::string_view method;
      if (auto error = value.get_string().get(method)) return parseError(error);
      envelope.method = std::string(method);
      return std::nullopt;
    }
  } else if (key == "params") {
    return readParams(value, envelope);
  }
  if (auto error = validateJsonValue(value, 1)) return parseError(error);
  return std::nullopt;
}

RpcError invalidRequest(std::string id, std::string_view detail) {
  return RpcError{std::move(id), RpcErrorCode::kInvalidRequest,
                  "Invalid Request: " + std::string(detail)};
}

std::variant<RpcCall, RpcError> decodeWith(od::parser& parser, simdjson::padded_string_view input) {
  od::document document;
  if (auto error = parser.iterate(input).get(document)) return parseError(error);
  od::json_type type;
  if (auto error = document.type().get(type)) return parseError(error);
  if (type != od::json_type::object) {
    if (auto error = validateOtherDocument(document, type)) return parseError(error);
    if (hasTrailingContent(document)) return parseError(simdjson::TRAILING_CONTENT);
    return invalidRequest("null", "a call must be a JSON object");
  }
  od::object object;
  if (auto error = document.get_object().get(object)) return parseError(error);
  Envelope envelope;
  for (auto field : object) {
    std::string_view key;
    if (auto error = field.unescaped_key().get(key)) return parseError(error);
    od::value value;
    if (auto error = field.value().get(value)) return parseError(error);
    if (auto failure = readField(key, value, envelope)) return *failure;
  }
  if (hasTrailingContent(document)) return parseError(simdjson::TRAILING_CONTENT);

  std::string id = envelope.id.value_or("null");
  if (!envelope.versionOk) return invalidRequest(id, R"("jsonrpc" must be "2.0")");
  if (!envelope.id) return invalidRequest(id, "\"id\" must be a number or a string");
  if (!envelope.method) return invalidRequest(id, "\"method\" must be a string");
  if (*envelope.method != kPerformRequestMethod) {
    return RpcError{std::move(id), RpcErrorCode::kMethodNotFound,
                    "Method not found: the one method is performRequest"};
  }
  if (!envelope.paramsOk) {
    return invalidRequest(id, "params must be {\"request\":TEXT} or [TEXT]");
  }
  return RpcCall{std::move(id), std::move(envelope.request)};
}

void appendId(std::string& out, std::string_view id) {
  out += R"({"jsonrpc":"2.0","id":)";
  out += id.empty() ? std::string_view("null") : id;
}

}  // namespace

std::variant<RpcCall, RpcError> decodeCall(std::string_view line, std::size_t paddedCapacity) {
  const simdjson::padded_string_view input(line.data(), line.size(), paddedCapacity);
  if (line.size() > kSharedParserLimit) {
    od::parser parser;
    return decodeWith(parser, input);
  }
  thread_local od::parser parser;
  return decodeWith(parser, input);
}

std::variant<RpcCall, RpcError> decodeCall(std::string_view line) {
  const simdjson::padded_string padded(line);
  return decodeCall(std::string_view(padded.data(), padded.size()),
                    padded.size() + simdjson::SIMDJSON_PADDING);
}

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(run, i - run));
    run = i + 1;
    out.push_back('\\');
    switch (c) {
      case '"':
      case '\\':
        out.push_back(static_cast<char>(c));
        break;
      case '\n':
        out.push_back('n');
        break;
      case '\r':
        out.push_back('r');
        break;
      case '\t':
        out.push_back('t');
        break;
      case '\b':
        out.push_back('b');
        break;
      case '\f':
        out.push_back('f');
        break;
      default:
        out += "u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.substr(run));
  out.push_back('"');
}

std::string encodeResult(std::string_view id, std::string_view reply) {
  std::string out;
  out.reserve(reply.size() + reply.size() / 8 + id.size() + 40);
  appendId(out, id);
  out += R"(,"result":)";
  appendJsonString(out, reply);
  out.push_back('}');
  return out;
}

std::string encodeError(const RpcError& error) {
  std::string out;
  appendId(out, error.id);
  out += R"(,"error":{"code":)";
  out += std::to_string(static_cast<int>(error.code));
  out += R"(,"message":)";
  appendJsonString(out, error.message);
  out += "}}";
  return out;
}

std::string encodeCall(std::string_view id, std::string_view request) {
  std::string out;
  out.reserve(request.size() + request.size() / 8 + id.size() + 80);
  appendId(out, id);
  out += R"(,"method":"performRequest","params":{"request":)";
  appendJsonString(out, request);
  out += "}}";
  return out;
}

std::optional<RpcReply> decodeReply(std::string_view line) {
  const simdjson::padded_string padded(line);
  od::parser parser;
  od::document document;
  if (parser.iterate(padded).get(document) != simdjson::SUCCESS) return std::nullopt;
  od::object object;
  if (document.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  RpcReply reply;
  bool sawError = false;
  for (auto field : object) {
    std::string_view key;
    if (field.unescaped_key().get(key) != simdjson::SUCCESS) return std::nullopt;
    od::value value;
    if (field.value().get(value) != simdjson::SUCCESS) return std::nullopt;
    if (key == "id") {
      reply.id = std::string(withoutTrailingJsonSpace(value.raw_json_token()));
      if (validateJsonValue(value, 1) != simdjson::SUCCESS) return std::nullopt;
    } else if (key == "result") {
      std::string_view text;
      if (value.get_string().get(text) != simdjson::SUCCESS) return std::nullopt;
      reply.result = std::string(text);
    } else if (key == "error") {
      od::object error;
      if (value.get_object().get(error) != simdjson::SUCCESS) return std::nullopt;
      std::int64_t code = 0;
      if (error["code"].get_int64().get(code) != simdjson::SUCCESS) return std::nullopt;
      std::string_view message;
      if (error["message"].get_string().get(message) != simdjson::SUCCESS) return std::nullopt;
      reply.errorCode = static_cast<int>(code);
      reply.errorMessage = std::string(message);
      sawError = true;
    } else if (validateJsonValue(value, 1) != simdjson::SUCCESS) {
      return std::nullopt;
    }
  }
  if (reply.result.has_value() == sawError) return std::nullopt;
  return reply;
}

}  // namespace OmviAgentRunnerMain
