#include "runner/records.h"

#include <unistd.h>

#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

// JSON string escaping of the house encoder: quotation mark, backslash, slash and control
// characters escaped; everything else, non-ASCII included, written as raw UTF-8.
void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out.push_back(kHex[(c >> 4) & 0xF]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

// Writes the keys in byte order; |first| tracks the comma.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
  ~ObjectWriter() { out_.push_back('}'); }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  void key(std::string_view name) {
    if (!first_) out_.push_back(',');
    first_ = false;
    appendJsonString(out_, name);
    out_.push_back(':');
  }
  void string(std::string_view name, const std::optional<std::string>& value) {
    if (!value) return;
    key(name);
    appendJsonString(out_, *value);
  }
  template <typename Integer>
  void integer(std::string_view name, const std::optional<Integer>& value) {
    if (!value) return;
    key(name);
    out_ += std::to_string(*value);
  }

 private:
  std::string& out_;
  bool first_ = true;
};

bool allValidUtf8(const RunnerResponse& response) {
  auto valid = [](const std::optional<std::string>& text) { return !text || isValidUtf8(*text); };
  if (!valid(response.error) || !valid(response.path) || !valid(response.message) ||
      !valid(response.stdoutText) || !valid(response.stderrText) || !isValidUtf8(response.helper)) {
    return false;
  }
  if (response.affectedPaths) {
    for (const auto& path : *response.affectedPaths) {
      if (!isValidUtf8(path)) return false;
    }
  }
  return true;
}

}  // namespace

RunnerResponse success(SuccessFields fields) {
  RunnerResponse response;
  response.ok = true;
  response.path = std::move(fields.path);
  response.writtenBytes = fields.writtenBytes;
  response.affectedPaths = std::move(fields.affectedPaths);
  response.message = std::move(fields.message);
  response.stdoutText = std::move(fields.stdoutText);
  response.stderrText = std::move(fields.stderrText);
  response.exitStatus = fields.exitStatus;
  response.pid = static_cast<std::int32_t>(getpid());
  return response;
}

RunnerResponse failure(std::string text, FailureFields fields) {
  RunnerResponse response;
  response.ok = false;
  response.message = text;
  response.error = std::move(text);
  response.stdoutText = std::move(fields.stdoutText);
  response.stderrText = std::move(fields.stderrText);
  response.exitStatus = fields.exitStatus;
  response.affectedPaths = std::move(fields.affectedPaths);
  response.pid = static_cast<std::int32_t>(getpid());
  return response;
}

std::string encodeToString(const RunnerResponse& response) {
  if (!allValidUtf8(response)) return std::string(kEncodeFailedText);
  std::string out;
  std::size_t estimate = 128;
  for (const auto* text : {&response.stdoutText, &response.stderrText, &response.message}) {
    if (*text) estimate += (*text)->size() + (*text)->size() / 8;
  }
  out.reserve(estimate);
  {
    ObjectWriter object(out);
    if (response.affectedPaths) {
      object.key("affected_paths");
      out.push_back('[');
      for (std::size_t i = 0; i < response.affectedPaths->size(); ++i) {
        if (i > 0) out.push_back(',');
        appendJsonString(out, (*response.affectedPaths)[i]);
      }
      out.push_back(']');
    }
    object.string("error", response.error);
    object.integer("exit_status", response.exitStatus);
    object.string("helper", response.helper);
    object.string("message", response.message);
    object.key("ok");
    out += response.ok ? "true" : "false";
    object.string("path", response.path);
    object.integer("pid", std::optional<std::int32_t>(response.pid));
    object.string("stderr", response.stderrText);
    object.string("stdout", response.stdoutText);
    object.integer("written_bytes", response.writtenBytes);
  }
  return out;
}

}  // namespace OmviAgentRunnerMain
