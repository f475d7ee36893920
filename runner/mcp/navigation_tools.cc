// The reading and navigation tools: each row wraps one function of runner/files/navigation.h,
// its result written as structuredContent (snake_case keys, `ok` and `error` as the
// operations answer them) and as readable text; images go out as image content.
#include <algorithm>
#include <string>
#include <variant>

#include "runner/files/navigation.h"
#include "runner/guard/workspace.h"
#include "runner/mcp/tools.h"
#include "runner/sandbox/call.h"
#include "runner/sandbox/sandbox.h"
#include "runner/service/json_rpc.h"

namespace OmviAgentRunnerMain::mcp {
namespace {

using enum ArgumentKind;

// A JSON object written key by key; keys are written in the order given.
class Json {
 public:
  Json& key(std::string_view name) {
    out_.push_back(first_ ? '{' : ',');
    first_ = false;
    appendJsonString(out_, name);
    out_.push_back(':');
    return *this;
  }
  Json& text(std::string_view name, std::string_view value) {
    key(name);
    appendJsonString(out_, value);
    return *this;
  }
  Json& optionalText(std::string_view name, const std::optional<std::string>& value) {
    return value ? text(name, *value) : *this;
  }
  Json& number(std::string_view name, std::int64_t value) {
    key(name);
    out_ += std::to_string(value);
    return *this;
  }
  Json& number(std::string_view name, const std::optional<std::int64_t>& value) {
    return value ? number(name, *value) : *this;
  }
  Json& flag(std::string_view name, bool value) {
    key(name);
    out_ += value ? "true" : "false";
    return *this;
  }
  Json& raw(std::string_view name, std::string_view json) {
    key(name);
    out_ += json;
    return *this;
  }
  std::string done() {
    if (first_) out_.push_back('{');
    out_.push_back('}');
    return std::move(out_);
  }

 private:
  std::string out_;
  bool first_ = true;
};

// `ok` and `error` first, as every result has them.
Json head(const std::optional<std::string>& error) {
  Json json;
  json.flag("ok", !error).optionalText("error", error);
  return json;
}

std::string errorText(const std::optional<std::string>& error) {
  return "failed: " + error.value_or("");
}

std::string suffixOf(bool truncated, const std::optional<std::string>& note) {
  std::string text;
  if (truncated) text += "\n[truncated]";
  if (note) text += "\n[" + *note + "]";
  return text;
}

ReadFileOptions readOptions(const ToolArguments& arguments) {
  ReadFileOptions options;
  options.offset = arguments.integer("offset");
  options.limit = arguments.integer("limit");
  options.head = arguments.integer("head");
  options.tail = arguments.integer("tail");
  return options;
}

std::string fileJson(const ReadFileResult& file) {
  Json json = head(file.error);
  json.text("path", file.path);
  if (!file.error) {
    json.text("mime_type", file.mimeType).flag("is_image", file.isImage);
    json.text("text", file.isImage ? std::string_view() : std::string_view(file.text));
    json.number("start_line", file.startLine).number("end_line", file.endLine);
    json.number("file_size", file.fileSize).flag("truncated", file.truncated);
    json.optionalText("note", file.note);
  }
  return json.done();
}

ToolOutcome readFileTool(const Tool&, const ToolCall& call) {
  const auto path = call.arguments.string("path").value_or("");
  const ReadFileResult file = readFile(call.root, path, readOptions(call.arguments));
  ToolOutcome outcome;
  outcome.structured = fileJson(file);
  outcome.isError = file.error.has_value();
  if (file.error) {
    outcome.text = errorText(file.error);
  } else if (file.isImage) {
    outcome.text =
        file.path + ": " + file.mimeType + " image, " + std::to_string(file.fileSize) + " bytes";
    outcome.images.push_back({file.text, file.mimeType});
  } else {
    outcome.text = file.text + suffixOf(file.truncated, file.note);
  }
  return outcome;
}

ToolOutcome readMultipleFilesTool(const Tool&, const ToolCall& call) {
  const auto files =
      readMultipleFiles(call.root, call.arguments.strings("paths"), readOptions(call.arguments));
  ToolOutcome outcome;
  std::string list = "[";
  bool allFailed = !files.empty();
  for (const ReadFileResult& file : files) {
    if (list.size() > 1) list.push_back(',');
    list += fileJson(file);
    allFailed = allFailed && file.error.has_value();
    outcome.text += "==> " + file.path + " <==\n";
    if (file.error) {
      outcome.text += errorText(file.error) + "\n";
    } else if (file.isImage) {
      outcome.text += file.mimeType + " image\n";
      outcome.images.push_back({file.text, file.mimeType});
    } else {
      outcome.text += file.text + suffixOf(file.truncated, file.note) + "\n";
    }
  }
  list.push_back(']');
  outcome.isError = allFailed;
  Json json;
  json.flag("ok", !allFailed).raw("files", list);
  outcome.structured = json.done();
  return outcome;
}

std::string entriesJson(const std::vector<DirectoryEntry>& entries, std::string& text) {
  std::string list = "[";
  for (const DirectoryEntry& entry : entries) {
    if (list.size() > 1) list.push_back(',');
    Json json;
    json.text("path", entry.path).text("type", entryTypeName(entry.type));
    json.number("size", entry.size).number("depth", entry.depth);
    list += json.done();
    text += std::string(entryTypeName(entry.type)) + " " + entry.path;
    if (entry.type == EntryType::kDirectory) text += "/";
    if (entry.size) text += " (" + std::to_string(*entry.size) + " bytes)";
    text += "\n";
  }
  return list + "]";
}

// The answer of a tool that lists entries: the path, the entries under |key|, and the cut;
// |whenEmpty| is the text for an empty list.
template <typename Result>
ToolOutcome listingOutcome(const Result& result, const std::vector<DirectoryEntry>& entries,
                           std::string_view key, std::string_view whenEmpty) {
  ToolOutcome outcome;
  outcome.isError = result.error.has_value();
  Json json = head(result.error);
  json.text("path", result.path);
  if (!result.error) {
    json.raw(key, entriesJson(entries, outcome.text));
    json.flag("truncated", result.truncated).optionalText("note", result.note);
    if (entries.empty() && !whenEmpty.empty()) outcome.text = whenEmpty;
    outcome.text += suffixOf(result.truncated, result.note);
  } else {
    outcome.text = errorText(result.error);
  }
  outcome.structured = json.done();
  return outcome;
}

ToolOutcome listDirectoryTool(const Tool&, const ToolCall& call) {
  ListDirectoryOptions options;
  if (auto depth = call.arguments.integer("depth")) {
    options.depth = static_cast<int>(std::clamp<std::int64_t>(*depth, 1, kMaxListDepth));
  }
  options.exclude = call.arguments.strings("exclude");
  const auto result = listDirectory(call.root, call.arguments.string("path").value_or(""), options);
  return listingOutcome(result, result.entries, "entries", "");
}

ToolOutcome searchFilesTool(const Tool&, const ToolCall& call) {
  SearchFilesOptions options;
  options.exclude = call.arguments.strings("exclude");
  const auto result = searchFiles(call.root, call.arguments.string("path").value_or(""),
                                  call.arguments.string("pattern").value_or(""), options);
  return listingOutcome(result, result.matches, "matches", "no matches\n");
}

ToolOutcome grepTool(const Tool&, const ToolCall& call) {
  GrepOptions options;
  options.include = call.arguments.string("include");
  options.ignoreCase = call.arguments.boolean("ignore_case").value_or(false);
  if (auto cap = call.arguments.integer("max_matches")) {
    options.maxMatches = static_cast<std::size_t>(std::clamp<std::int64_t>(*cap, 1, 10000));
  }
  // Under the sandbox the search is one call, as every operation is: its children end with it.
  std::optional<SandboxCall> sandboxed;
  if (sandboxSettings().enabled) sandboxed.emplace(resolveRoot(call.root));
  const auto result = grep(call.root, call.arguments.string("path").value_or(""),
                           call.arguments.string("pattern").value_or(""), options);
  sandboxed.reset();
  ToolOutcome outcome;
  outcome.isError = result.error.has_value();
  Json json = head(result.error);
  json.text("path", result.path);
  if (!result.error) {
    std::string list = "[";
    for (const GrepMatch& match : result.matches) {
      if (list.size() > 1) list.push_back(',');
      Json item;
      item.text("file", match.file).number("line", match.line).text("text", match.text);
      list += item.done();
      outcome.text += match.file + ":" + std::to_string(match.line) + ":" + match.text + "\n";
    }
    json.text("engine", result.engine).raw("matches", list + "]");
    json.flag("truncated", result.truncated).optionalText("note", result.note);
    if (result.matches.empty()) outcome.text = "no matches\n";
    outcome.text += suffixOf(result.truncated, result.note);
  } else {
    outcome.text = errorText(result.error);
  }
  outcome.structured = json.done();
  return outcome;
}

ToolOutcome fileInfoTool(const Tool&, const ToolCall& call) {
  const FileInfo info = getFileInfo(call.root, call.arguments.string("path").value_or(""));
  ToolOutcome outcome;
  outcome.isError = info.error.has_value();
  Json json = head(info.error);
  json.text("path", info.path);
  if (!info.error) {
    json.text("type", entryTypeName(info.type)).number("size", info.size);
    json.text("permissions", info.permissions).text("modified", info.modified);
    json.text("accessed", info.accessed).text("changed", info.changed);
    json.optionalText("link_target", info.linkTarget);
    outcome.text = info.path + "\ntype: " + entryTypeName(info.type) +
                   "\nsize: " + std::to_string(info.size) + "\npermissions: " + info.permissions +
                   "\nmodified: " + info.modified + "\naccessed: " + info.accessed +
                   "\nchanged: " + info.changed;
    if (info.linkTarget) outcome.text += "\nlink_target: " + *info.linkTarget;
  } else {
    outcome.text = errorText(info.error);
  }
  outcome.structured = json.done();
  return outcome;
}

ToolOutcome moveFileTool(const Tool&, const ToolCall& call) {
  const MoveResult moved = moveFile(call.root, call.arguments.string("source").value_or(""),
                                    call.arguments.string("destination").value_or(""));
  ToolOutcome outcome;
  outcome.isError = moved.error.has_value();
  Json json = head(moved.error);
  json.text("source", moved.source).text("destination", moved.destination);
  outcome.structured = json.done();
  outcome.text =
      moved.error ? errorText(moved.error) : "moved " + moved.source + " to " + moved.destination;
  return outcome;
}

ToolOutcome editFileTool(const Tool&, const ToolCall& call) {
  std::vector<TextEdit> edits;
  if (const auto* given = call.arguments.find("edits")) {
    for (const auto& [oldText, newText] : std::get<std::vector<TextPair>>(*given)) {
      edits.push_back({oldText, newText});
    }
  }
  EditFileOptions options;
  options.dryRun = call.arguments.boolean("dry_run").value_or(false);
  const auto result =
      editFile(call.root, call.arguments.string("path").value_or(""), edits, options);
  ToolOutcome outcome;
  outcome.isError = result.error.has_value();
  Json json = head(result.error);
  json.text("path", result.path);
  if (!result.error) {
    json.text("diff", result.diff).flag("written", result.written);
    json.number("written_bytes", result.writtenBytes);
    outcome.text = (result.written ? "edited " : "dry run, nothing written: ") + result.path +
                   "\n" + result.diff;
  } else {
    outcome.text = errorText(result.error);
  }
  outcome.structured = json.done();
  return outcome;
}

constexpr std::string_view kPathText = "The path, relative to the root or absolute inside it.";
constexpr std::string_view kExcludeText =
    "Glob patterns to leave out: without \"/\" they match names at any depth (\"*.log\", "
    "\"node_modules\"), with \"/\" the relative path; an excluded directory is not entered.";

constexpr ToolField kReadFileFields[] = {
    {"path", kString, kPathText, true},
    {"offset", kInteger, "First line to return, counted from 1."},
    {"limit", kInteger, "How many lines to return (from offset, or from the first line)."},
    {"head", kInteger, "Only the first N lines (not with tail, offset or limit)."},
    {"tail", kInteger, "Only the last N lines (not with head, offset or limit)."},
};
constexpr ToolField kReadMultipleFields[] = {
    {"paths", kStringArray, "The files to read (at most 64)", true},
};
constexpr ToolField kListFields[] = {
    {"path", kString, "The directory (default: the root)."},
    {"depth", kInteger, "Levels to descend: 1 (default) lists the directory, up to 10 a tree."},
    {"exclude", kStringArray, kExcludeText},
};
constexpr ToolField kSearchFields[] = {
    {"pattern", kString,
     R"(A glob on names ("*.cc") or, with "/", on paths relative to the root ("src/**/*.h").)",
     true},
    {"path", kString, "The directory to search beneath (default: the root)."},
    {"exclude", kStringArray, kExcludeText},
};
constexpr ToolField kGrepFields[] = {
    {"pattern", kString, "A regular expression searched for in file contents.", true},
    {"path", kString, "The directory or file to search (default: the root)."},
    {"include", kString, "Only files whose name matches this glob (\"*.py\")."},
    {"ignore_case", kBoolean, "true: match regardless of case."},
    {"max_matches", kInteger, "At most this many matches (default 200)."},
};
constexpr ToolField kInfoFields[] = {{"path", kString, kPathText, true}};
constexpr ToolField kMoveFields[] = {
    {"source", kString, "The file or directory to move.", true},
    {"destination", kString, "Its new path; must not exist yet.", true},
};
constexpr ToolField kEditFields[] = {
    {"path", kString, "The text file to edit.", true},
    {"edits", kEdits, "Exact replacements applied in order; each old_text must occur exactly once.",
     true},
    {"dry_run", kBoolean, "true: answer the diff and write nothing."},
};

#define OMVI_SCHEMA(properties)                                                                     \
  R"({"type":"object","properties":{"ok":{"type":"boolean"},"error":{"type":"string"},)" properties \
  R"(},"required":["ok"]})"

constexpr std::string_view kReadFileSchema = OMVI_SCHEMA(
    R"("path":{"type":"string"},"mime_type":{"type":"string"},"is_image":{"type":"boolean"},)"
    R"("text":{"type":"string"},"start_line":{"type":"integer"},"end_line":{"type":"integer"},)"
    R"("file_size":{"type":"integer"},"truncated":{"type":"boolean"},"note":{"type":"string"})");
constexpr std::string_view kReadMultipleSchema =
    R"({"type":"object","properties":{"ok":{"type":"boolean"},"files":{"type":"array",)"
    R"("items":{"type":"object","properties":{)"
    R"("ok":{"type":"boolean"},"error":{"type":"string"},"path":{"type":"string"},)"
    R"("mime_type":{"type":"string"},"is_image":{"type":"boolean"},"text":{"type":"string"},)"
    R"("start_line":{"type":"integer"},"end_line":{"type":"integer"},)"
    R"("file_size":{"type":"integer"},"truncated":{"type":"boolean"},"note":{"type":"string"})"
    R"(},"required":["ok","path"]}}},"required":["ok","files"]})";
#define OMVI_ENTRIES                                                                    \
  R"({"type":"array","items":{"type":"object","properties":{"path":{"type":"string"},)" \
  R"("type":{"type":"string","enum":["file","directory","symlink","other"]},)"          \
  R"("size":{"type":"integer"},"depth":{"type":"integer"}},"required":["path","type"]}})"
constexpr std::string_view kListSchema =
    OMVI_SCHEMA(R"("path":{"type":"string"},"entries":)" OMVI_ENTRIES
                R"(,"truncated":{"type":"boolean"},"note":{"type":"string"})");
constexpr std::string_view kSearchSchema =
    OMVI_SCHEMA(R"("path":{"type":"string"},"matches":)" OMVI_ENTRIES
                R"(,"truncated":{"type":"boolean"},"note":{"type":"string"})");
constexpr std::string_view kGrepSchema = OMVI_SCHEMA(
    R"("path":{"type":"string"},"engine":{"type":"string"},"matches":{"type":"array",)"
    R"("items":{"type":"object","properties":{"file":{"type":"string"},)"
    R"("line":{"type":"integer"},"text":{"type":"string"}},"required":["file","line","text"]}},)"
    R"("truncated":{"type":"boolean"},"note":{"type":"string"})");
constexpr std::string_view kInfoSchema = OMVI_SCHEMA(
    R"("path":{"type":"string"},"type":{"type":"string"},"size":{"type":"integer"},)"
    R"("permissions":{"type":"string"},"modified":{"type":"string"},)"
    R"("accessed":{"type":"string"},"changed":{"type":"string"},"link_target":{"type":"string"})");
constexpr std::string_view kMoveSchema =
    OMVI_SCHEMA(R"("source":{"type":"string"},"destination":{"type":"string"})");
constexpr std::string_view kEditSchema =
    OMVI_SCHEMA(R"("path":{"type":"string"},"diff":{"type":"string"},"written":{"type":"boolean"},)"
                R"("written_bytes":{"type":"integer"})");

#undef OMVI_ENTRIES
#undef OMVI_SCHEMA

const Tool kNavigationTools[] = {
    {"read_file", "Read file",
     "Reads a text file, whole or a window of lines (offset and limit, or head or tail), with "
     "line numbers of the window; images (PNG, JPEG, GIF, WebP) come back as image content. "
     "At most 1 MiB of text per call: a longer selection is cut at a whole line with a note "
     "saying where to continue. Refuses directories and binary files.",
     kReadFileFields, kReadFileSchema, true, false, true, false, &readFileTool},
    {"read_multiple_files", "Read several files",
     "Reads up to 64 files at once, each answered on its own (one failing path does not fail "
     "the others); 4 MiB of text in all.",
     kReadMultipleFields, kReadMultipleSchema, true, false, true, false, &readMultipleFilesTool},
    {"list_directory", "List directory",
     "Lists a directory's entries with their type and size, or a tree down to depth levels; "
     "symbolic links are listed, never entered. At most 1000 entries.",
     kListFields, kListSchema, true, false, true, false, &listDirectoryTool},
    {"search_files", "Find files by name",
     "Finds files and directories whose name (or relative path) matches a glob, recursively; "
     "never follows symbolic links. At most 1000 results.",
     kSearchFields, kSearchSchema, true, false, true, false, &searchFilesTool},
    {"grep", "Search file contents",
     "Searches file contents for a regular expression and answers file, line number and line "
     "text (ripgrep when installed, else git grep inside a repository); skips binary, hidden "
     "and ignored files. At most 200 matches by default.",
     kGrepFields, kGrepSchema, true, false, true, false, &grepTool},
    {"get_file_info", "File information",
     "Type, size, permissions and times of a file, directory or symbolic link (a link is "
     "described itself, with its target text).",
     kInfoFields, kInfoSchema, true, false, true, false, &fileInfoTool},
    {"move_file", "Move or rename",
     "Moves or renames a file or directory in one step; both ends must be inside the root. "
     "Never overwrites: an existing destination is refused.",
     kMoveFields, kMoveSchema, false, false, false, false, &moveFileTool},
    {"edit_file", "Edit file",
     "Replaces exact text in a file: each edit's old_text must occur exactly once, all edits "
     "apply or none does, and the file is replaced atomically. Answers the unified diff; with "
     "dry_run only the diff.",
     kEditFields, kEditSchema, false, true, false, false, &editFileTool},
};

}  // namespace

std::span<const Tool> navigationTools() {
  return kNavigationTools;
}

}  // namespace OmviAgentRunnerMain::mcp
