// The request decoder on any bytes. Properties:
// - decoding never crashes, and the copying and the in-place entry points agree;
// - a decoded request written back as JSON decodes to the same fields (a request's strings
//   that are not valid UTF-8 have no JSON form, and are left out of that round trip);
// - a response carrying the decoded strings encodes to JSON that reads back to them, or, when
//   one of them is not valid UTF-8, to the fixed encode_failed text.
#include <simdjson.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "runner/records.h"
#include "runner/request_decoder.h"
#include "runner/service/json_rpc.h"
#include "runner/text.h"

namespace {

using namespace OmviAgentRunnerMain;

// Visits every field of a request as (key, JSON text of its value); absent fields are skipped.
template <typename Visit>
void forEachField(const RunnerRequest& r, Visit visit) {
  auto text = [](std::string_view value) {
    std::string out;
    appendJsonString(out, value);
    return out;
  };
  auto string = [&](const char* key, const std::optional<std::string>& value) {
    if (value) visit(key, text(*value));
  };
  auto boolean = [&](const char* key, const std::optional<bool>& value) {
    if (value) visit(key, *value ? "true" : "false");
  };
  visit("op", text(r.op));
  string("workspace_root", r.workspaceRoot);
  string("path", r.path);
  if (r.paths) {
    std::string list = "[";
    for (std::size_t i = 0; i < r.paths->size(); ++i) {
      if (i > 0) list.push_back(',');
      list += text((*r.paths)[i]);
    }
    visit("paths", list + "]");
  }
  if (r.content) visit("content", text(r.content->view()));
  string("diff", r.diff);
  boolean("dry_run", r.dryRun);
  string("message", r.message);
  string("command", r.command);
  if (r.timeout) {
    char number[32];
    std::snprintf(number, sizeof number, "%.17g", *r.timeout);
    visit("timeout", number);
  }
  boolean("allow_network", r.allowNetwork);
  string("name", r.name);
  string("branch", r.branch);
  string("remote", r.remote);
  boolean("set_upstream", r.setUpstream);
  boolean("worktree", r.worktree);
  boolean("staged", r.staged);
  string("scope", r.scope);
  string("base_branch", r.baseBranch);
  if (r.count) visit("count", std::to_string(*r.count));
  string("worktree_path", r.worktreePath);
  boolean("prune", r.prune);
  boolean("no_ff", r.noFf);
}

std::string asJson(const RunnerRequest& request) {
  std::string out = "{";
  forEachField(request, [&](const char* key, const std::string& value) {
    if (out.size() > 1) out.push_back(',');
    appendJsonString(out, key);
    out += ":" + value;
  });
  return out + "}";
}

bool allStringsValid(const RunnerRequest& request) {
  return isValidUtf8(asJson(request));
}

// A response holding the request's strings in every string field it has.
void checkResponseEncoding(const RunnerRequest& request) {
  RunnerResponse response = failure(request.op);
  response.path = request.path;
  response.stdoutText =
      request.content ? std::optional<std::string>(request.content->view()) : std::nullopt;
  response.stderrText = request.diff;
  response.affectedPaths = request.paths;
  const std::string encoded = encodeToString(response);
  bool valid = isValidUtf8(request.op) && (!request.path || isValidUtf8(*request.path)) &&
               (!response.stdoutText || isValidUtf8(*response.stdoutText)) &&
               (!request.diff || isValidUtf8(*request.diff));
  if (request.paths) {
    for (const auto& path : *request.paths)
      valid = valid && isValidUtf8(path);
  }
  if (!valid) {
    FUZZ_CHECK(encoded == kEncodeFailedText, "%s", encoded.c_str());
    return;
  }
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  FUZZ_CHECK(parser.parse(encoded).get(document) == simdjson::SUCCESS, "%s", encoded.c_str());
  std::string_view error;
  FUZZ_CHECK(document["error"].get(error) == simdjson::SUCCESS && error == request.op, "%s",
             encoded.c_str());
  if (request.path) {
    std::string_view path;
    FUZZ_CHECK(document["path"].get(path) == simdjson::SUCCESS && path == *request.path, "%s",
               encoded.c_str());
  }
  if (response.stdoutText) {
    std::string_view text;
    FUZZ_CHECK(document["stdout"].get(text) == simdjson::SUCCESS && text == *response.stdoutText,
               "%s", encoded.c_str());
  }
  if (request.paths) {
    simdjson::dom::array list;
    FUZZ_CHECK(document["affected_paths"].get(list) == simdjson::SUCCESS, "%s", encoded.c_str());
    std::size_t i = 0;
    for (auto item : list) {
      std::string_view text;
      FUZZ_CHECK(item.get(text) == simdjson::SUCCESS && i < request.paths->size() &&
                     text == (*request.paths)[i],
                 "%s", encoded.c_str());
      ++i;
    }
    FUZZ_CHECK(i == request.paths->size(), "%s", encoded.c_str());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const DecodedRequest decoded = decodeRequest(bytes);

  // The in-place entry point, on a buffer with exactly the promised padding behind it.
  auto buffer = std::shared_ptr<char[]>(new char[size + kDecoderPadding]);
  if (size > 0) std::memcpy(buffer.get(), data, size);
  std::memset(buffer.get() + size, 0, kDecoderPadding);
  const DecodedRequest padded = decodePaddedRequest({buffer.get(), size}, buffer);
  FUZZ_CHECK(decoded.request.has_value() == padded.request.has_value(), "entry points disagree");
  FUZZ_CHECK(decoded.error == padded.error, "%s | %s", decoded.error.c_str(), padded.error.c_str());
  if (!decoded.request) {
    FUZZ_CHECK(!decoded.error.empty(), "a refusal without a description");
    return 0;
  }
  const RunnerRequest& request = *decoded.request;
  FUZZ_CHECK(asJson(request) == asJson(*padded.request), "entry points decode differently");

  if (allStringsValid(request)) {
    const std::string again = asJson(request);
    const DecodedRequest round = decodeRequest(again);
    FUZZ_CHECK(round.request.has_value(), "%s: %s", again.c_str(), round.error.c_str());
    FUZZ_CHECK(asJson(*round.request) == again, "%s became %s", again.c_str(),
               asJson(*round.request).c_str());
  }
  checkResponseEncoding(request);
  return 0;
}
