// JSON-RPC envelopes: each line shape decoded, replies and calls encoded exactly.
#include "runner/service/json_rpc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace OmviAgentRunnerMain {
namespace {

// One line and what it must decode to: a call (id, request bytes) or an error (id, code). (The
// service test sends the commonest errors over a real connection.)
TEST(JsonRpc, DecodesEachLineShape) {
  const std::string v = R"({"jsonrpc":"2.0",)", call = v + R"("method":"performRequest",)";
  const struct {
    std::string line;
    bool isCall;
    std::string id, requestOrCode;  ///< the request bytes, or the error code in decimal
  } cases[] = {
      // clang-format off
      {call + R"("id":1,"params":{"request":"{\"op\":\"ping\"}"}})", true, "1", R"({"op":"ping"})"},
      {R"({"id":"a\"b","params":["x"],"method":"performRequest","jsonrpc":"2.0"})", true,
        R"("a\"b")", "x"},
      {call + R"("id":-1.5e3 ,"params":["x"]})", true, "-1.5e3", "x"},  // the id as written
      {call + R"("id":2,"params":["\n\t\/\u00e9\ud83d\ude00"]})", true, "2",
        "\n\t/\xC3\xA9\xF0\x9F\x98\x80"},
      // Lone surrogates become the bytes of their code points.
      {call + R"("id":3,"params":["a\ud800b"]})", true, "3", "a\xED\xA0\x80" "b"},
      {call + R"("id":3,"params":["\udc00"]})", true, "3", "\xED\xB0\x80"},
      {call + R"("id":4,"x":[{"y":null}],"params":{"request":"","z":1}})", true, "4", ""},
      {"", false, "null", "-32700"},
      {call + R"("id":1,"params":["x"]} x)", false, "null", "-32700"},
      {call + R"("id":1,"params":["x"],"u":[tru]})", false, "null", "-32700"},
      {call + R"("id":1,"params":["\x"]})", false, "null", "-32700"},
      {call + "\"id\":1,\"params\":[\"a\tb\"]}", false, "null", "-32700"},
      {call + "\"id\":1,\"params\":[\"\xff\"]}", false, "null", "-32700"},
      {"123", false, "null", "-32600"},
      {R"([{"jsonrpc":"2.0"}])", false, "null", "-32600"},  // no batches
      {call + R"("id":null,"params":["x"]})", false, "null", "-32600"},
      {R"({"jsonrpc":"1.0","id":5,"method":"performRequest","params":["x"]})", false, "5",
        "-32600"},
      {v + R"("id":5,"params":["x"]})", false, "5", "-32600"},
      {call + R"("id":5})", false, "5", "-32600"},
      {call + R"("id":5,"params":["x","y"]})", false, "5", "-32600"},
      {call + R"("id":5,"params":{"request":{}}})", false, "5", "-32600"},
      {call + R"("id":5,"params":"x"})", false, "5", "-32600"},
      // clang-format on
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.line);
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

  // Every call and reply of the service tests and of the hostile corpora's socket way goes
  // through encodeCall, decodeCall, encodeResult and decodeReply; a reply without a result or
  // an error is no reply.
  EXPECT_FALSE(decodeReply(R"({"jsonrpc":"2.0","id":1})"));
}

}  // namespace
}  // namespace OmviAgentRunnerMain
