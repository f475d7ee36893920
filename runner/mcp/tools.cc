#include "runner/mcp/tools.h"

#include <cmath>
#include <type_traits>

#include "runner/dispatch.h"
#include "runner/service/json_rpc.h"

namespace OmviAgentRunnerMain::mcp {
namespace {

using enum ArgumentKind;

// Stores an argument into the `RunnerRequest` member it names; the member's type fixes the
// argument's kind (kindOf below), so the two cannot disagree.
template <auto Member>
void assignTo(RunnerRequest& request, ArgumentValue&& value) {
  using Field = typename std::remove_reference_t<decltype(request.*Member)>::value_type;
  if constexpr (std::is_same_v<Field, SharedText>) {
    request.*Member = SharedText(std::get<std::string>(std::move(value)));
  } else {
    request.*Member = std::get<Field>(std::move(value));
  }
}

template <auto Member>
constexpr ArgumentKind kindOf() {
  using Field = typename std::remove_reference_t<decltype(RunnerRequest{}.*Member)>::value_type;
  if constexpr (std::is_same_v<Field, bool>) return kBoolean;
  if constexpr (std::is_same_v<Field, double>) return kNumber;
  if constexpr (std::is_same_v<Field, std::int64_t>) return kInteger;
  if constexpr (std::is_same_v<Field, std::vector<std::string>>) return kStringArray;
  return kString;
}

// A request field as a tool argument named after its JSON key.
template <auto Member>
constexpr ToolField field(std::string_view name, std::string_view description,
                          bool required = false) {
  return ToolField{name, kindOf<Member>(), description, required, &assignTo<Member>};
}

constexpr std::string_view kTimeoutText =
    "Time limit in seconds for the git or shell processes this call starts; the operation's "
    "default applies when absent, and too small a value is raised to its floor.";

constexpr auto kTimeout = field<&RunnerRequest::timeout>("timeout", kTimeoutText);

// Every operation tool: `handle` with the tool's name as `op`.
ToolOutcome runOperation(const Tool& tool, const ToolCall& call) {
  return outcomeOf(handle(requestFor(tool, call)));
}

constexpr std::string_view kRootsSchema =
    R"({"type":"object","properties":{"roots":{"type":"array","items":{"type":"object",)"
    R"("properties":{"name":{"type":"string"},"path":{"type":"string"}},)"
    R"("required":["name","path"]}}},"required":["roots"]})";

ToolOutcome listRoots(const Tool&, const ToolCall& call) {
  ToolOutcome outcome;
  outcome.structured = R"({"roots":[)";
  for (const Root& root : call.roots) {
    if (&root != call.roots.data()) outcome.structured.push_back(',');
    outcome.structured += R"({"name":)";
    appendJsonString(outcome.structured, root.name);
    outcome.structured += R"(,"path":)";
    appendJsonString(outcome.structured, root.path);
    outcome.structured.push_back('}');
    outcome.text += root.path + (root.name.empty() ? "" : " (" + root.name + ")") + "\n";
  }
  outcome.structured += "]}";
  if (call.roots.empty()) outcome.text = "no roots are served";
  return outcome;
}

struct Hints {
  bool readOnly = false;
  bool destructive = false;
  bool idempotent = false;
  bool openWorld = false;
};

constexpr Tool operation(std::string_view name, std::string_view title,
                         std::string_view description, std::span<const ToolField> fields,
                         Hints hints) {
  return Tool{name,
              title,
              description,
              fields,
              kResponseSchema,
              hints.readOnly,
              hints.destructive,
              hints.idempotent,
              hints.openWorld,
              &runOperation};
}

constexpr Hints kReads{.readOnly = true, .idempotent = true};
constexpr Hints kAdds{.idempotent = true};
constexpr Hints kDestroys{.destructive = true, .idempotent = true};
constexpr Hints kChanges{};
constexpr Hints kRewrites{.destructive = true};

constexpr ToolField kWriteFile[] = {
    field<&RunnerRequest::path>(
        "path",
        "The file to write, relative to the root or absolute inside it. Missing parent "
        "directories are created.",
        true),
    field<&RunnerRequest::content>("content", "The whole new content of the file, as text.", true),
};
constexpr ToolField kMkdir[] = {
    field<&RunnerRequest::path>(
        "path", "The directory to create (with missing parents), relative to the root.", true),
};
constexpr ToolField kDeleteFile[] = {
    field<&RunnerRequest::path>(
        "path", "The file or directory to delete (a directory with everything in it).", true),
};
constexpr ToolField kShell[] = {
    field<&RunnerRequest::command>(
        "command", "The shell command line, run by zsh -c in the root directory.", true),
    field<&RunnerRequest::timeout>(
        "timeout", "Time limit in seconds (default 30, at least 1); the command is then ended."),
};
constexpr ToolField kApplyDiff[] = {
    field<&RunnerRequest::diff>(
        "diff", "A unified diff (as git diff writes it) with paths relative to the root.", true),
    field<&RunnerRequest::dryRun>("dry_run",
                                  "true: only check that the patch applies, change nothing."),
    kTimeout,
};
constexpr ToolField kPathsOnly[] = {
    field<&RunnerRequest::paths>(
        "paths", "The files or directories, relative to the root (\".\" for all of it).", true),
    kTimeout,
};
constexpr ToolField kCommit[] = {
    field<&RunnerRequest::message>("message", "The commit message.", true),
    kTimeout,
};
constexpr ToolField kPush[] = {
    field<&RunnerRequest::remote>("remote", "The remote to push to (default \"origin\")."),
    field<&RunnerRequest::branch>("branch",
                                  "The branch to push (default: what git pushes by default, or "
                                  "the current branch with set_upstream)."),
    field<&RunnerRequest::setUpstream>("set_upstream",
                                       "true: push with -u, making the remote branch the "
                                       "upstream of the local one."),
    field<&RunnerRequest::timeout>("timeout", "Time limit in seconds (default 60, at least 15)."),
};
constexpr ToolField kBranchName[] = {
    field<&RunnerRequest::name>("name", "The branch name (checked against git's rules).", true),
    kTimeout,
};
constexpr ToolField kRestore[] = {
    field<&RunnerRequest::paths>("paths", "The files to restore, relative to the root.", true),
    field<&RunnerRequest::worktree>("worktree",
                                    "true: restore the working-tree files (the default when "
                                    "neither worktree nor staged is given)."),
    field<&RunnerRequest::staged>("staged", "true: restore the index (unstage)."),
    kTimeout,
};
constexpr ToolField kTimeoutOnly[] = {kTimeout};
constexpr ToolField kLog[] = {
    field<&RunnerRequest::count>("count", "How many commits to list (default 10, 1 to 100)."),
    kTimeout,
};
constexpr ToolField kDiff[] = {
    field<&RunnerRequest::scope>("scope",
                                 "\"unstaged\" (default): working tree against the index; "
                                 "\"staged\": index against HEAD; \"branch\": base_branch...HEAD."),
    field<&RunnerRequest::baseBranch>("base_branch",
                                      R"(The base for the "branch" scope (default "main").)"),
    field<&RunnerRequest::path>("path", "Limit the diff to this file or directory."),
    kTimeout,
};
constexpr ToolField kDeliver[] = {
    field<&RunnerRequest::worktreePath>(
        "worktree_path", "The task's worktree, under .omvi/worktrees of the root.", true),
    field<&RunnerRequest::branch>("branch", "The task's branch, which is merged.", true),
    field<&RunnerRequest::message>(
        "message", "Message for the worktree's commit and the merge (a default is used)."),
    field<&RunnerRequest::noFf>("no_ff", "false: allow a fast-forward merge (default true)."),
    field<&RunnerRequest::prune>("prune", "true: remove the worktree after a successful merge."),
    field<&RunnerRequest::timeout>("timeout",
                                   "Time limit in seconds of the merge (default 90, at least 15)."),
};
constexpr ToolField kWorktreeAdd[] = {
    field<&RunnerRequest::worktreePath>(
        "worktree_path", "Where the worktree goes: a path under .omvi/worktrees of the root.",
        true),
    field<&RunnerRequest::branch>("branch", "The new branch the worktree checks out.", true),
    field<&RunnerRequest::timeout>("timeout", "Time limit in seconds (default 60, at least 15)."),
};
constexpr ToolField kWorktreeRemove[] = {
    field<&RunnerRequest::paths>("paths", "The worktrees to remove, under .omvi/worktrees.", true),
    field<&RunnerRequest::timeout>(
        "timeout", "Time limit in seconds of each removal (default 60, at least 15)."),
};

constexpr std::string_view kConfined =
    " Every path must lie inside the root, both as written and after symbolic links are "
    "resolved; anything else is refused with path_outside_workspace.";

// The operations keep the dispatcher's order.

const Tool kOperationTools[] = {
    operation("write_file", "Write file",
              "Creates or replaces a text file with the given content, written atomically "
              "(a reader never sees half a file). Answers the bytes written.",
              kWriteFile, kDestroys),
    operation("mkdir", "Make directory",
              "Creates a directory and any missing parents; an existing directory is fine.", kMkdir,
              kAdds),
    operation("delete_file", "Delete file or directory",
              "Deletes a file, a symbolic link (not its target) or a whole directory tree.",
              kDeleteFile, kDestroys),
    operation("shell", "Run shell command",
              "Runs a command line with zsh in the root directory under a time limit; at "
              "the limit the command is ended (TERM, then KILL) and the call fails with "
              "timeout. Answers its exit status, stdout (first 16000 characters) and "
              "stderr (first 8000). The command itself is not confined: prefer the file "
              "and git tools for what they cover.",
              kShell, Hints{.destructive = true, .openWorld = true}),
    operation("apply_diff", "Apply unified diff",
              "Applies a unified diff to the working tree with git apply, all or nothing; "
              "with dry_run only checks it. Needs a git repository.",
              kApplyDiff, kRewrites),
    operation("git_stage", "Stage paths", "Stages the given paths (git add).", kPathsOnly, kAdds),
    operation("git_unstage", "Unstage paths",
              "Removes the given paths from the index (git rm --cached), keeping the files.",
              kPathsOnly, kAdds),
    operation("git_commit", "Commit",
              "Commits what is staged with the given message. Fails when nothing is staged.",
              kCommit, kChanges),
    operation("git_push", "Push",
              "Pushes to a remote over the network (after a fetch --prune). Never forces.", kPush,
              Hints{.openWorld = true}),
    operation("git_branch_create", "Create branch", "Creates a branch at HEAD and switches to it.",
              kBranchName, kChanges),
    operation("git_branch_switch", "Switch branch", "Switches to an existing branch.", kBranchName,
              kAdds),
    operation("git_restore", "Restore paths",
              "Restores files from the index (or, with staged, the index from HEAD); "
              "uncommitted changes to them are lost.",
              kRestore, kDestroys),
    operation("git_status", "Git status",
              "The repository's status: the branch line, then one porcelain line per "
              "changed or untracked path.",
              kTimeoutOnly, kReads),
    operation("git_log", "Git log", "The latest commits, one line each.", kLog, kReads),
    operation("git_diff", "Git diff",
              "A diff of the working tree, the index or a branch against its base; output "
              "beyond 16000 characters is cut.",
              kDiff, kReads),
    operation("git_branch_list", "List branches",
              "The local branches, the current one marked with *.", kTimeoutOnly, kReads),
    operation("git_deliver", "Deliver task worktree",
              "Commits what is left in a task worktree, then merges its branch into the "
              "branch checked out at the root; with prune also removes the worktree.",
              kDeliver, kRewrites),
    operation("git_worktree_add", "Create task worktree",
              "Creates an isolated git worktree on a new branch for a task, under "
              ".omvi/worktrees; answers success when that worktree already exists. "
              "Anything else in its place is replaced.",
              kWorktreeAdd, kDestroys),
    operation("git_worktree_remove", "Remove task worktrees",
              "Removes task worktrees (forcefully: their uncommitted changes are lost). "
              "Only paths under .omvi/worktrees are accepted.",
              kWorktreeRemove, kDestroys),
};

const Tool kRootsTool[] = {
    Tool{"list_roots",
         "List roots",
         "The directories this server serves. Every tool takes an optional root argument "
         "naming one of them (its path or its name); the first is the default.",
         {},
         kRootsSchema,
         true,
         false,
         true,
         false,
         &listRoots},
};

constexpr std::string_view kRootText =
    "The served root to work in (see list_roots): its path or name; default the first.";

std::string_view kindName(ArgumentKind kind) {
  switch (kind) {
    case kString:
      return "a string";
    case kBoolean:
      return "a boolean";
    case kNumber:
      return "a number";
    case kInteger:
      return "an integer";
    case kStringArray:
      return "an array of strings";
    case kEdits:
      return "an array of {old_text, new_text} objects";
  }
  return "a value";
}

void appendSchemaType(std::string& out, ArgumentKind kind) {
  switch (kind) {
    case kString:
      out += R"("type":"string")";
      return;
    case kBoolean:
      out += R"("type":"boolean")";
      return;
    case kNumber:
      out += R"("type":"number")";
      return;
    case kInteger:
      out += R"("type":"integer")";
      return;
    case kStringArray:
      out += R"("type":"array","items":{"type":"string"})";
      return;
    case kEdits:
      out += R"("type":"array","minItems":1,"items":{"type":"object","properties":{)"
             R"("old_text":{"type":"string","description":"exact text, found exactly once"},)"
             R"("new_text":{"type":"string","description":"its replacement"}},)"
             R"("required":["old_text","new_text"],"additionalProperties":false})";
      return;
  }
}

void appendProperty(std::string& out, std::string_view name, ArgumentKind kind,
                    std::string_view description) {
  appendJsonString(out, name);
  out += ":{";
  appendSchemaType(out, kind);
  out += R"(,"description":)";
  appendJsonString(out, description);
  out.push_back('}');
}

void appendInputSchema(std::string& out, const Tool& tool) {
  out += R"({"type":"object","properties":{)";
  for (const ToolField& field : tool.fields) {
    appendProperty(out, field.name, field.kind, field.description);
    out.push_back(',');
  }
  appendProperty(out, "root", kString, kRootText);
  out += R"(},"required":[)";
  bool first = true;
  for (const ToolField& field : tool.fields) {
    if (!field.required) continue;
    if (!first) out.push_back(',');
    first = false;
    appendJsonString(out, field.name);
  }
  out += R"(],"additionalProperties":false})";
}

void appendTool(std::string& out, const Tool& tool) {
  out += R"({"name":)";
  appendJsonString(out, tool.name);
  out += R"(,"title":)";
  appendJsonString(out, tool.title);
  out += R"(,"description":)";
  std::string description(tool.description);
  if (tool.name != "list_roots" && tool.name != "shell") description += kConfined;
  appendJsonString(out, description);
  out += R"(,"inputSchema":)";
  appendInputSchema(out, tool);
  out += R"(,"outputSchema":)";
  out += tool.outputSchema;
  out += R"(,"annotations":{"title":)";
  appendJsonString(out, tool.title);
  auto flag = [&](std::string_view name, bool value) {
    out += ",\"";
    out += name;
    out += value ? "\":true" : "\":false";
  };
  flag("readOnlyHint", tool.readOnly);
  flag("destructiveHint", tool.destructive);
  flag("idempotentHint", tool.idempotent);
  flag("openWorldHint", tool.openWorld);
  out += "}}";
}

std::string quotedName(std::string_view name) {
  std::string out = "'";
  out += name;
  out += "'";
  return out;
}

// An edits array: each item an object of exactly the two strings old_text and new_text.
std::optional<std::string> readEdits(std::string_view name, simdjson::dom::element element,
                                     ArgumentValue& value) {
  simdjson::dom::array array;
  if (element.get_array().get(array) != simdjson::SUCCESS || array.size() == 0) {
    return "argument " + quotedName(name) + " must be a non-empty array of {old_text, new_text}";
  }
  std::vector<TextPair> edits;
  for (simdjson::dom::element item : array) {
    const std::string at = std::string(name) + "[" + std::to_string(edits.size()) + "]";
    simdjson::dom::object object;
    if (item.get_object().get(object) != simdjson::SUCCESS)
      return "argument " + quotedName(at) + " must be an object";
    std::optional<std::string> oldText, newText;
    for (const auto [key, inner] : object) {
      std::string_view text;
      auto& slot = key == "old_text" ? oldText : newText;
      if (key != "old_text" && key != "new_text") {
        return "unknown argument " + quotedName(at + "." + std::string(key));
      }
      if (inner.get_string().get(text) != simdjson::SUCCESS || slot) {
        return "argument " + quotedName(at + "." + std::string(key)) + " must be one string";
      }
      slot = std::string(text);
    }
    if (!oldText || !newText) {
      return "missing required argument " + quotedName(at + (oldText ? ".new_text" : ".old_text"));
    }
    edits.emplace_back(std::move(*oldText), std::move(*newText));
  }
  value = std::move(edits);
  return std::nullopt;
}

// Reads |element| as |kind|; a sentence naming |name| when it is not one.
std::optional<std::string> readValue(std::string_view name, ArgumentKind kind,
                                     simdjson::dom::element element, ArgumentValue& value) {
  const std::string wrongType =
      "argument " + quotedName(name) + " must be " + std::string(kindName(kind));
  switch (kind) {
    case kString: {
      std::string_view text;
      if (element.get_string().get(text) != simdjson::SUCCESS) return wrongType;
      value = std::string(text);
      return std::nullopt;
    }
    case kBoolean: {
      bool flag = false;
      if (element.get_bool().get(flag) != simdjson::SUCCESS) return wrongType;
      value = flag;
      return std::nullopt;
    }
    case kNumber: {
      double number = 0;
      if (!element.is_number() || element.get_double().get(number) != simdjson::SUCCESS)
        return wrongType;
      value = number;
      return std::nullopt;
    }
    case kInteger: {
      std::int64_t integer = 0;
      double number = 0;
      if (element.get_int64().get(integer) == simdjson::SUCCESS) {
        value = integer;
        return std::nullopt;
      }
      // JSON Schema counts 2.0 as an integer; anything with a fraction, or too large, is not.
      if (element.is_double() && element.get_double().get(number) == simdjson::SUCCESS &&
          std::trunc(number) == number && std::fabs(number) < 9.2e18) {
        value = static_cast<std::int64_t>(number);
        return std::nullopt;
      }
      return wrongType;
    }
    case kStringArray: {
      simdjson::dom::array array;
      if (element.get_array().get(array) != simdjson::SUCCESS) return wrongType;
      std::vector<std::string> texts;
      std::size_t index = 0;
      for (simdjson::dom::element item : array) {
        std::string_view text;
        if (item.get_string().get(text) != simdjson::SUCCESS) {
          return "argument " + quotedName(std::string(name) + "[" + std::to_string(index) + "]") +
                 " must be a string";
        }
        texts.emplace_back(text);
        ++index;
      }
      value = std::move(texts);
      return std::nullopt;
    }
    case kEdits:
      return readEdits(name, element, value);
  }
  return wrongType;
}

std::string allowedNames(const Tool& tool) {
  std::string names;
  for (const ToolField& field : tool.fields) {
    names += field.name;
    names += ", ";
  }
  return names + "root";
}

}  // namespace

const ArgumentValue* ToolArguments::find(std::string_view name) const {
  for (const auto& [key, value] : values_) {
    if (key == name) return &value;
  }
  return nullptr;
}

std::optional<std::string> ToolArguments::string(std::string_view name) const {
  const ArgumentValue* value = find(name);
  if (value == nullptr || !std::holds_alternative<std::string>(*value)) return std::nullopt;
  return std::get<std::string>(*value);
}

std::optional<bool> ToolArguments::boolean(std::string_view name) const {
  const ArgumentValue* value = find(name);
  if (value == nullptr || !std::holds_alternative<bool>(*value)) return std::nullopt;
  return std::get<bool>(*value);
}

std::optional<std::int64_t> ToolArguments::integer(std::string_view name) const {
  const ArgumentValue* value = find(name);
  if (value == nullptr || !std::holds_alternative<std::int64_t>(*value)) return std::nullopt;
  return std::get<std::int64_t>(*value);
}

std::vector<std::string> ToolArguments::strings(std::string_view name) const {
  const ArgumentValue* value = find(name);
  if (value == nullptr || !std::holds_alternative<std::vector<std::string>>(*value)) return {};
  return std::get<std::vector<std::string>>(*value);
}

std::span<const Tool> toolTable() {
  static const std::vector<Tool> all = [] {
    std::vector<Tool> tools(std::begin(kOperationTools), std::end(kOperationTools));
    for (const Tool& tool : navigationTools())
      tools.push_back(tool);
    tools.insert(tools.end(), std::begin(kRootsTool), std::end(kRootsTool));
    return tools;
  }();
  return all;
}

const Tool* findTool(std::string_view name) {
  for (const Tool& tool : toolTable()) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

const std::string& toolListJson() {
  static const std::string json = [] {
    std::string out = "[";
    for (const Tool& tool : toolTable()) {
      if (out.size() > 1) out.push_back(',');
      appendTool(out, tool);
    }
    out.push_back(']');
    return out;
  }();
  return json;
}

std::optional<std::string> checkArguments(const Tool& tool,
                                          std::optional<simdjson::dom::element> arguments,
                                          ToolArguments& out) {
  if (arguments) {
    simdjson::dom::object object;
    if (arguments->get_object().get(object) != simdjson::SUCCESS)
      return "arguments must be a JSON object";
    for (const auto [key, element] : object) {
      if (out.find(key) != nullptr) return "argument " + quotedName(key) + " is given twice";
      ArgumentKind kind = kString;
      if (key != "root") {
        const ToolField* known = nullptr;
        for (const ToolField& field : tool.fields) {
          if (field.name == key) known = &field;
        }
        if (known == nullptr) {
          return "unknown argument " + quotedName(key) + " (" + std::string(tool.name) +
                 " takes: " + allowedNames(tool) + ")";
        }
        kind = known->kind;
      }
      ArgumentValue value;
      if (auto error = readValue(key, kind, element, value)) return error;
      out.add(key, std::move(value));
    }
  }
  for (const ToolField& field : tool.fields) {
    if (field.required && out.find(field.name) == nullptr) {
      return "missing required argument " + quotedName(field.name);
    }
  }
  return std::nullopt;
}

RunnerRequest requestFor(const Tool& tool, const ToolCall& call) {
  RunnerRequest request;
  request.op = std::string(tool.name);
  request.workspaceRoot = call.root;
  for (const auto& [name, value] : call.arguments.all()) {
    for (const ToolField& field : tool.fields) {
      if (field.name == name && field.assign != nullptr) {
        ArgumentValue copy = value;
        field.assign(request, std::move(copy));
      }
    }
  }
  return request;
}

ToolOutcome outcomeOf(const RunnerResponse& response) {
  ToolOutcome outcome;
  outcome.structured = encodeToString(response);
  outcome.isError = !response.ok;
  std::string& text = outcome.text;
  text = response.ok ? "ok" : "failed";
  if (response.message) text += ": " + *response.message;
  if (response.path) text += "\npath: " + *response.path;
  if (response.writtenBytes) text += "\nwritten_bytes: " + std::to_string(*response.writtenBytes);
  if (response.affectedPaths) {
    text += "\naffected_paths:";
    for (const auto& path : *response.affectedPaths)
      text += "\n  " + path;
  }
  if (response.exitStatus) text += "\nexit_status: " + std::to_string(*response.exitStatus);
  if (response.stdoutText && !response.stdoutText->empty()) {
    text += "\nstdout:\n" + *response.stdoutText;
  }
  if (response.stderrText && !response.stderrText->empty()) {
    text += "\nstderr:\n" + *response.stderrText;
  }
  return outcome;
}

ToolOutcome argumentError(const Tool& tool, const std::string& text) {
  ToolOutcome outcome = outcomeOf(failure("invalid arguments: " + text));
  if (tool.outputSchema != kResponseSchema) outcome.structured.clear();
  return outcome;
}

}  // namespace OmviAgentRunnerMain::mcp
