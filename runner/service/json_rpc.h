// The service's wire envelope: newline-delimited JSON-RPC 2.0, one message per line.
//
// Owns: decoding a call line into the request text it carries (or the JSON-RPC error that
// answers it), and the exact text of results, errors and calls. A client's side is here too
// (encoding a call, decoding a reply) so that the client, the tests and the load client
// speak exactly what the service reads.
// Does not own: line framing (line_framing.h) or answering the request (entry.h).
//
// A call is {"jsonrpc":"2.0","id":ID,"method":"performRequest","params":{"request":TEXT}}
// or the same with "params":[TEXT]; ID is a number or a string, echoed exactly as sent.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace OmviAgentRunnerMain {

/// The one method the service exports.
inline constexpr std::string_view kPerformRequestMethod = "performRequest";

/// JSON-RPC 2.0 error codes the service answers with.
enum class RpcErrorCode : int {
  kParseError = -32700,      ///< the line is not JSON
  kInvalidRequest = -32600,  ///< JSON, but not a call of the shape above (or a line too long)
  kMethodNotFound = -32601,  ///< a call of another method
  kServiceBusy = -32000,     ///< the service's own limits: too many connections or bytes
};

/// A well-formed call: its id and the request text it carries.
struct RpcCall {
  std::string id;  ///< the id's JSON text as sent: `7`, `"a"`
  /// The request string's bytes. An escaped lone surrogate ("\ud800") is kept as its
  /// three-byte generalised UTF-8 form, which is not valid UTF-8, so the request is later
  /// answered as text that cannot be converted to UTF-8.
  std::string request;
};

/// The error that answers a line that is not such a call.
struct RpcError {
  std::string id = "null";  ///< the call's id when it could be read, else `null`
  RpcErrorCode code = RpcErrorCode::kInvalidRequest;
  std::string message;
};

/// Decodes one line (without its line feed). |paddedCapacity| is how many bytes from
/// line.data() are readable (at least line.size() + kEnvelopePadding); the bytes past the
/// line may hold anything. Never throws but for memory exhaustion; keeps no state.
[[nodiscard]] std::variant<RpcCall, RpcError> decodeCall(std::string_view line,
                                                         std::size_t paddedCapacity);

/// As above for a line with no readable bytes after it: copies it first.
[[nodiscard]] std::variant<RpcCall, RpcError> decodeCall(std::string_view line);

/// Readable bytes the decoder may need past a line decoded in place.
inline constexpr std::size_t kEnvelopePadding = 64;

/// {"jsonrpc":"2.0","id":ID,"result":REPLY} with |reply| as a JSON string; no line feed.
[[nodiscard]] std::string encodeResult(std::string_view id, std::string_view reply);

/// {"jsonrpc":"2.0","id":ID,"error":{"code":N,"message":TEXT}}; no line feed.
[[nodiscard]] std::string encodeError(const RpcError& error);

/// A performRequest call of |request| with the id text |id|; no line feed. Bytes of |request|
/// that are not valid UTF-8 are copied unchanged (the service then refuses the line).
[[nodiscard]] std::string encodeCall(std::string_view id, std::string_view request);

/// |text| as a JSON string literal: quotation mark, backslash and control characters escaped.
void appendJsonString(std::string& out, std::string_view text);

/// A reply as a client reads it.
struct RpcReply {
  std::string id;                     ///< the id's JSON text
  std::optional<std::string> result;  ///< the reply text of a result
  int errorCode = 0;                  ///< of an error reply
  std::string errorMessage;
};

/// Decodes one reply line; nothing when it is not a JSON-RPC result or error.
[[nodiscard]] std::optional<RpcReply> decodeReply(std::string_view line);

}  // namespace OmviAgentRunnerMain
