// The request and response records, the two response builders and the response encoder.
//
// Owns: the fields of both records, `success` and `failure` (every response is made by one
// of them), and `encodeToString`, the one place where a response becomes text.
// Does not own: decoding a request (request_decoder.h) or choosing an operation
// (dispatch.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace OmviAgentRunnerMain {

/// The runner's own name, written in every response's `helper`.
inline constexpr std::string_view kHelperName = "omvi-agent-runner";

/// The text answered when a response cannot be encoded. It carries no `pid`.
inline constexpr std::string_view kEncodeFailedText =
    R"({"ok":false,"error":"encode_failed","helper":"omvi-agent-runner"})";

/// Text that is either its own string or a view into a buffer it shares ownership of. A large
/// request read from a file keeps its `content` this way, so the bytes are never copied.
class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string text) : own_(std::move(text)) {}  // NOLINT: implicit by design
  SharedText(const char* text) : own_(text) {}             // NOLINT: implicit by design
  SharedText(std::string_view view, std::shared_ptr<const void> owner)
      : owner_(std::move(owner)), view_(view) {}

  [[nodiscard]] std::string_view view() const { return owner_ ? view_ : std::string_view(own_); }
  [[nodiscard]] std::size_t size() const { return view().size(); }
  friend bool operator==(const SharedText& a, const SharedText& b) { return a.view() == b.view(); }
  friend std::ostream& operator<<(std::ostream& out, const SharedText& text) {
    return out << text.view();
  }

 private:
  std::shared_ptr<const void> owner_;
  std::string_view view_;
  std::string own_;
};

/// One decoded request. Only `op` is required; every other field is absent unless the request
/// gave it a non-null value. Values are as sent: nothing is trimmed or defaulted here.
struct RunnerRequest {
  std::string op;
  std::optional<std::string> workspaceRoot;  ///< "workspace_root"
  std::optional<std::string> path;
  std::optional<std::vector<std::string>> paths;
  std::optional<SharedText> content;
  std::optional<std::string> diff;
  std::optional<bool> dryRun;  ///< "dry_run"
  std::optional<std::string> message;
  std::optional<std::string> command;
  std::optional<double> timeout;     ///< seconds, any JSON number
  std::optional<bool> allowNetwork;  ///< "allow_network"; decoded, read by nothing
  std::optional<std::string> name;
  std::optional<std::string> branch;
  std::optional<std::string> remote;
  std::optional<bool> setUpstream;  ///< "set_upstream"
  std::optional<bool> worktree;
  std::optional<bool> staged;
  std::optional<std::string> scope;
  std::optional<std::string> baseBranch;  ///< "base_branch"
  std::optional<std::int64_t> count;
  std::optional<std::string> worktreePath;  ///< "worktree_path"
  std::optional<bool> prune;
  std::optional<bool> noFf;  ///< "no_ff"
};

/// One response. `ok`, `helper` and `pid` are always encoded; every other field only when
/// present. `stdoutText` and `stderrText` are the "stdout" and "stderr" keys.
struct RunnerResponse {
  bool ok = false;
  std::optional<std::string> error;
  std::optional<std::string> path;
  std::optional<std::int64_t> writtenBytes;
  std::optional<std::vector<std::string>> affectedPaths;
  std::optional<std::string> message;
  std::optional<std::string> stdoutText;
  std::optional<std::string> stderrText;
  std::optional<std::int32_t> exitStatus;
  std::string helper{kHelperName};
  std::int32_t pid = 0;

  bool operator==(const RunnerResponse&) const = default;
};

/// The optional fields of a success, in the builder's order.
struct SuccessFields {
  std::optional<std::string> path{};
  std::optional<std::int64_t> writtenBytes{};
  std::optional<std::vector<std::string>> affectedPaths{};
  std::optional<std::string> message{};
  std::optional<std::string> stdoutText{};
  std::optional<std::string> stderrText{};
  std::optional<std::int32_t> exitStatus{};
};

/// The optional fields of a failure, in the builder's order.
struct FailureFields {
  std::optional<std::string> stdoutText{};
  std::optional<std::string> stderrText{};
  std::optional<std::int32_t> exitStatus{};
  std::optional<std::vector<std::string>> affectedPaths{};
};

/// `ok` true, no `error`, the given fields, `helper` and this process's `pid`.
[[nodiscard]] RunnerResponse success(SuccessFields fields = {});

/// `ok` false, `text` in both `error` and `message`, the given fields, `helper` and `pid`.
[[nodiscard]] RunnerResponse failure(std::string text, FailureFields fields = {});

/// Compact JSON with the keys sorted by their bytes, "/" written as "\/". Never fails: a
/// response holding text that is not valid UTF-8 encodes as `kEncodeFailedText`.
[[nodiscard]] std::string encodeToString(const RunnerResponse& response);

}  // namespace OmviAgentRunnerMain
