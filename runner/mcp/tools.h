// The MCP server's tools: one table row per tool, from which the listing (name, title,
// description, input and output schemas, annotations), the strict check of a call's arguments
// and the call itself all come.
//
// Owns: the tool table, the argument check (the same rows that write each inputSchema), the
// mapping of arguments onto a `RunnerRequest`, and the shape of a tool's result.
// Does not own: the JSON-RPC session (mcp_server.h), which root a call runs in (the server
// resolves the `root` argument before the call), or any operation's work (dispatch.h).
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "runner/records.h"

namespace OmviAgentRunnerMain::mcp {

/// The JSON type an argument must have.
/// kEdits: an array of {"old_text": string, "new_text": string} objects, at least one.
enum class ArgumentKind { kString, kBoolean, kNumber, kInteger, kStringArray, kEdits };

/// Old and new text of one edit_file edit.
using TextPair = std::pair<std::string, std::string>;

/// One checked argument value.
using ArgumentValue = std::variant<std::string, bool, double, std::int64_t,
                                   std::vector<std::string>, std::vector<TextPair>>;

/// The arguments of one call after the check, in the order they were sent.
class ToolArguments {
 public:
  void add(std::string_view name, ArgumentValue value) {
    values_.emplace_back(std::string(name), std::move(value));
  }
  [[nodiscard]] const ArgumentValue* find(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> string(std::string_view name) const;
  [[nodiscard]] std::optional<bool> boolean(std::string_view name) const;
  [[nodiscard]] std::optional<std::int64_t> integer(std::string_view name) const;
  [[nodiscard]] std::vector<std::string> strings(std::string_view name) const;
  [[nodiscard]] const std::vector<std::pair<std::string, ArgumentValue>>& all() const {
    return values_;
  }

 private:
  std::vector<std::pair<std::string, ArgumentValue>> values_;
};

/// An image a tool returns beside its text.
struct ImageContent {
  std::string base64;
  std::string mimeType;
};

/// What a tool call answers: `structured` is a JSON object matching the tool's outputSchema
/// (empty: none), `text` the same for a reader, `isError` true exactly when the operation
/// failed.
struct ToolOutcome {
  std::string structured;
  std::string text;
  bool isError = false;
  std::vector<ImageContent> images;
};

/// One served root: its absolute path and a display name.
struct Root {
  std::string path;
  std::string name;
};

/// What a tool's function is given: the root the call runs in (already chosen from the
/// served roots), every served root, and the checked arguments (`root` among them).
struct ToolCall {
  std::string root;
  std::span<const Root> roots;
  ToolArguments arguments;
};

struct Tool;
struct ToolField;

using ToolFunction = ToolOutcome (*)(const Tool& tool, const ToolCall& call);

/// One tool: what tools/list says about it and what runs it.
struct Tool {
  std::string_view name;
  std::string_view title;
  std::string_view description;
  std::span<const ToolField> fields;  ///< its arguments, `root` not included
  std::string_view outputSchema;      ///< a JSON object
  bool readOnly;
  bool destructive;
  bool idempotent;
  bool openWorld;
  ToolFunction run;
};

/// One argument of a tool. `assign`, when set, stores the value into the matching field of a
/// `RunnerRequest`; arguments of the reading tools have none.
struct ToolField {
  std::string_view name;
  ArgumentKind kind;
  std::string_view description;
  bool required = false;
  void (*assign)(RunnerRequest&, ArgumentValue&&) = nullptr;
};

/// The response object of the runner's operations, as a JSON Schema.
inline constexpr std::string_view kResponseSchema =
    R"({"type":"object","properties":{)"
    R"("ok":{"type":"boolean","description":"true when the operation succeeded"},)"
    R"("error":{"type":"string","description":"the failure text, only when ok is false"},)"
    R"("path":{"type":"string","description":"the path a successful operation acted on"},)"
    R"("written_bytes":{"type":"integer","description":"bytes written"},)"
    R"("affected_paths":{"type":"array","items":{"type":"string"},)"
    R"("description":"the paths the operation touched or reports"},)"
    R"("message":{"type":"string","description":"a one-line summary"},)"
    R"("stdout":{"type":"string","description":"standard output of the child process"},)"
    R"("stderr":{"type":"string","description":"standard error of the child process"},)"
    R"("exit_status":{"type":"integer","description":"exit status of the child process"},)"
    R"("helper":{"type":"string"},"pid":{"type":"integer"}},)"
    R"("required":["ok","helper","pid"]})";

/// The reading and navigation tools (navigation_tools.cc).
[[nodiscard]] std::span<const Tool> navigationTools();

/// Every tool, in listing order.
[[nodiscard]] std::span<const Tool> toolTable();

/// The tool named |name|, or nothing.
[[nodiscard]] const Tool* findTool(std::string_view name);

/// The "tools" array of a tools/list result, built once.
[[nodiscard]] const std::string& toolListJson();

/// Checks |arguments| (an object, or nothing when the call gave none) against |tool|'s
/// inputSchema: every argument known, of its kind, every required one present. Fills |out|
/// and answers nothing, or answers a sentence that names the offending argument.
[[nodiscard]] std::optional<std::string> checkArguments(
    const Tool& tool, std::optional<simdjson::dom::element> arguments, ToolArguments& out);

/// The `RunnerRequest` of an operation tool's call: `op` the tool's name, `workspace_root`
/// the call's root, every other field from its argument.
[[nodiscard]] RunnerRequest requestFor(const Tool& tool, const ToolCall& call);

/// A `RunnerResponse` as a tool outcome: the encoded response as `structured`, a readable
/// rendering as `text`, `isError` = !ok.
[[nodiscard]] ToolOutcome outcomeOf(const RunnerResponse& response);

/// An argument error of a call of |tool| as a tool outcome: `isError` and |text|, with a
/// failure response as `structured` when the tool answers responses, else none (so that
/// nothing contradicts the tool's outputSchema).
[[nodiscard]] ToolOutcome argumentError(const Tool& tool, const std::string& text);

}  // namespace OmviAgentRunnerMain::mcp
