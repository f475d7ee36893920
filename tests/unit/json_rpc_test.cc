#include "runner/service/json_rpc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace OmviAgentRunnerMain {
namespace {

// One line and what it must decode to: a call (id, request bytes) or an error (id, code). (The
// service test sends the commonest errors over a real connection.)
struct EnvelopeCase {
  const char* name;
  std::string line;
  bool isCall;
  std::string id;
  std::string requestOrCode;  // the request bytes, or the error code in decimal
};

const std::vector<EnvelopeCase> kEnvelopeCases = {
    {"object params",
     R"({"jsonrpc":"2.0","id":1,"method":"performRequest","params":{"request":"{\"op\":\"ping\"}"}})",
     true, "1", R"({"op":"ping"})"},
    {"array params, string id",
     R"({"id":"a\"b","params":["x"],"method":"performRequest","jsonrpc":"2.0"})", true, R"("a\"b")",
     "x"},
    {"id kept as written",
     R"({"jsonrpc":"2.0","id":-1.5e3 ,"method":"performRequest","params":["x"]})", true, "-1.5e3",
     "x"},
    {"escapes and a pair",
     R"({"jsonrpc":"2.0","id":2,"method":"performRequest","params":["\n\t\/\u00e9\ud83d\ude00"]})",
     true, "2", "\n\t/\xC3\xA9\xF0\x9F\x98\x80"},
    {"lone high surrogate",
     R"({"jsonrpc":"2.0","id":3,"method":"performRequest","params":["a\ud800b"]})", true, "3",
     "a\xED\xA0\x80"
     "b"},
    {"lone low surrogate",
     R"({"jsonrpc":"2.0","id":3,"method":"performRequest","params":["\udc00"]})", true, "3",
     "\xED\xB0\x80"},
    {"extra keys ignored",
     R"({"jsonrpc":"2.0","id":4,"x":[{"y":null}],"method":"performRequest","params":{"request":"","z":1}})",
     true, "4", ""},
    {"empty line", "", false, "null", "-32700"},
    {"trailing text", R"({"jsonrpc":"2.0","id":1,"method":"performRequest","params":["x"]} x)",
     false, "null", "-32700"},
    {"malformed inside an unused key",
     R"({"jsonrpc":"2.0","id":1,"method":"performRequest","params":["x"],"u":[tru]})", false,
     "null", "-32700"},
    {"bad escape in the request",
     R"({"jsonrpc":"2.0","id":1,"method":"performRequest","params":["\x"]})", false, "null",
     "-32700"},
    {"raw control character",
     "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"performRequest\",\"params\":[\"a\tb\"]}", false,
     "null", "-32700"},
    {"invalid UTF-8 bytes",
     "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"performRequest\",\"params\":[\"\xff\"]}", false,
     "null", "-32700"},
    {"a number", "123", false, "null", "-32600"},
    {"an array (no batches)", R"([{"jsonrpc":"2.0"}])", false, "null", "-32600"},
    {"null id", R"({"jsonrpc":"2.0","id":null,"method":"performRequest","params":["x"]})", false,
     "null", "-32600"},
    {"wrong version", R"({"jsonrpc":"1.0","id":5,"method":"performRequest","params":["x"]})", false,
     "5", "-32600"},
    {"no method", R"({"jsonrpc":"2.0","id":5,"params":["x"]})", false, "5", "-32600"},
    {"no params", R"({"jsonrpc":"2.0","id":5,"method":"performRequest"})", false, "5", "-32600"},
    {"two params", R"({"jsonrpc":"2.0","id":5,"method":"performRequest","params":["x","y"]})",
     false, "5", "-32600"},
    {"request not a string",
     R"({"jsonrpc":"2.0","id":5,"method":"performRequest","params":{"request":{}}})", false, "5",
     "-32600"},
    {"params a string", R"({"jsonrpc":"2.0","id":5,"method":"performRequest","params":"x"})", false,
     "5", "-32600"},
};

TEST(JsonRpc, DecodesEachLineShape) {
  for (const auto& row : kEnvelopeCases) {
    SCOPED_TRACE(row.name);
    const auto decoded = decodeCall(row.line);
    ASSERT_EQ(std::holds_alternative<RpcCall>(decoded), row.isCall);
    if (const auto* call = std::get_if<RpcCall>(&decoded)) {
      EXPECT_EQ(call->id, row.id);
      EXPECT_EQ(call->request, row.requestOrCode);
    } else {
      const auto& error = std::get<RpcError>(decoded);
      EXPECT_EQ(error.id, row.id);
      EXPECT_EQ(std::to_string(static_cast<int>(error.code)), row.requestOrCode);
    }
  }
}

// Decoding in place reads nothing of the bytes that follow the line in the buffer.
TEST(JsonRpc, DecodesInPlaceWhateverFollowsTheLine) {
  const std::string call = R"({"jsonrpc":"2.0","id":9,"method":"performRequest","params":["x"]})";
  for (const std::string& line : {std::string("12"), call}) {
    std::string buffer = line + "345\"}]" + std::string(kEnvelopePadding, '7');
    const auto decoded = decodeCall(std::string_view(buffer.data(), line.size()), buffer.size());
    if (line == call) {
      EXPECT_EQ(std::get<RpcCall>(decoded).id, "9");
    } else {
      EXPECT_EQ(std::get<RpcError>(decoded).code, RpcErrorCode::kInvalidRequest);
    }
  }
}

TEST(JsonRpc, EncodesRepliesAndCallsExactly) {
  EXPECT_EQ(encodeResult("7", R"({"a":"\/"})"),
            R"({"jsonrpc":"2.0","id":7,"result":"{\"a\":\"\\/\"}"})");
  EXPECT_EQ(encodeError(RpcError{"null", RpcErrorCode::kInvalidRequest, "request too large"}),
            R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"request too large"}})");
  std::string escaped;
  appendJsonString(escaped, std::string("\"\\\n\r\t\b\f\x01\x1f\x7f\xC3\xA9", 12));
  EXPECT_EQ(escaped, "\"\\\"\\\\\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\xC3\xA9\"");

  // What a client encodes, the service decodes unchanged; what the service encodes, a
  // client decodes unchanged.
  const std::string request = "{\"op\":\"shell\",\"command\":\"printf '%s\\n' \\\"x\\\"\"}\x01";
  const auto call = std::get<RpcCall>(decodeCall(encodeCall("\"q\"", request)));
  EXPECT_EQ(call.id, "\"q\"");
  EXPECT_EQ(call.request, request);
  const auto reply = decodeReply(encodeResult(call.id, request));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->id, "\"q\"");
  EXPECT_EQ(reply->result, request);
  const auto error = decodeReply(encodeError(RpcError{"3", RpcErrorCode::kMethodNotFound, "m"}));
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->result);
  EXPECT_EQ(error->errorCode, -32601);
  EXPECT_EQ(error->errorMessage, "m");
  EXPECT_FALSE(decodeReply(R"({"jsonrpc":"2.0","id":1})"));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
