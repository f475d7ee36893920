#include "runner/request_decoder.h"

#include <gtest/gtest.h>

namespace OmviAgentRunnerMain {
namespace {

struct Refused {
  const char* json;
  const char* sentence;  ///< the description, or "" for any
};

TEST(Decode, RefusesWhatIsNotARequest) {
  const Refused cases[] = {
      {"", "the request is empty"},
      {"\n", ""},
      {"[]", "the request must be a JSON object"},
      {"\"op\"", "the request must be a JSON object"},
      {"{}", "field \"op\" is missing"},
      {R"({"op":null})", "field \"op\" must be a string, not null"},
      {R"({"op":5})", "field \"op\" must be a string"},
      {R"({"Op":"ping"})", "field \"op\" is missing"},
      {R"({"op":"ping"} x)", ""},
      {R"({"op":"ping"} {})", ""},
      {R"({"op":"ping"}])", ""},
      {R"({"op":"ping"}"x")", ""},
      {R"({"op":"ping",})", ""},
      {R"({"op":"ping","x":[1,]})", ""},
      {R"({"op":"ping","x":tru})", ""},
      {R"({"op":"ping","x":01})", ""},
      {R"({"op":"ping","x":NaN})", ""},
      {R"({"op":"ping","x":"\u12"})", ""},
      {"{\"op\":\"ping\",\"x\":\"\xff\"}", "the request is not valid UTF-8"},
      {"{\"op\":\"a\tb\"}", "the request holds a control character that is not escaped"},
      {"\xef\xbb\xbf{\"op\":\"ping\"}", ""},
      {R"({"op":"ping")", ""},
  };
  for (const auto& c : cases) {
    const DecodedRequest decoded = decodeRequest(c.json);
    EXPECT_FALSE(decoded.request) << c.json;
    EXPECT_FALSE(decoded.error.empty()) << c.json;
    if (*c.sentence) {
      EXPECT_EQ(decoded.error, c.sentence) << c.json;
    }
  }
}

TEST(Decode, EachFieldHasExactlyItsType) {
  const Refused cases[] = {
      {R"({"op":"x","count":"5"})", "field \"count\" must be an integer"},
      {R"({"op":"x","count":2.5})", "field \"count\" must be an integer"},
      {R"({"op":"x","count":9223372036854775808})", "field \"count\" must be an integer"},
      {R"({"op":"x","count":true})", "field \"count\" must be an integer"},
      {R"({"op":"x","dry_run":1})", "field \"dry_run\" must be true or false"},
      {R"({"op":"x","allow_network":"yes"})", "field \"allow_network\" must be true or false"},
      {R"({"op":"x","timeout":"30"})", "field \"timeout\" must be a number"},
      {R"({"op":"x","timeout":false})", "field \"timeout\" must be a number"},
      {R"({"op":"x","paths":"a"})", "field \"paths\" must be an array of strings"},
      {R"({"op":"x","paths":["a",1]})", "field \"paths\" must be an array of strings"},
      {R"({"op":"x","paths":[null]})", "field \"paths\" must be an array of strings"},
      {R"({"op":"x","path":["a"]})", "field \"path\" must be a string"},
      {R"({"op":"x","workspace_root":{}})", "field \"workspace_root\" must be a string"},
      {R"({"op":"x","no_ff":0})", "field \"no_ff\" must be true or false"},
  };
  for (const auto& c : cases) {
    const DecodedRequest decoded = decodeRequest(c.json);
    EXPECT_FALSE(decoded.request) << c.json;
    EXPECT_EQ(decoded.error, c.sentence) << c.json;
  }
}

TEST(Decode, TakesValuesAsTheyStand) {
  const DecodedRequest decoded = decodeRequest(
      R"({"op":" Git_Status\n","workspace_root":" /ws ","paths":["a","b\/c"],"content":"x\u00e9\ud83d\ude00",)"
      R"("dry_run":false,"timeout":30,"count":-7,"allow_network":true,"unknown":{"deep":[1,{"a":null}]},)"
      R"("COUNT":"ignored","set_upstream":true,"base_branch":"dev","worktree_path":"w","no_ff":false})");
  ASSERT_TRUE(decoded.request) << decoded.error;
  const RunnerRequest& r = *decoded.request;
  EXPECT_EQ(r.op, " Git_Status\n");
  EXPECT_EQ(r.workspaceRoot, " /ws ");
  EXPECT_EQ(r.paths, (std::vector<std::string>{"a", "b/c"}));
  EXPECT_EQ(r.content, "xé😀");
  EXPECT_EQ(r.dryRun, false);
  EXPECT_EQ(r.timeout, 30.0);
  EXPECT_EQ(r.count, -7);
  EXPECT_EQ(r.allowNetwork, true);
  EXPECT_EQ(r.setUpstream, true);
  EXPECT_EQ(r.baseBranch, "dev");
  EXPECT_EQ(r.worktreePath, "w");
  EXPECT_EQ(r.noFf, false);
  EXPECT_FALSE(r.path);
  EXPECT_FALSE(r.message);
}

TEST(Decode, NullMeansAbsentAndNumbersKeepTheirRange) {
  auto request = decodeRequest(R"({"op":"x","paths":null,"timeout":null,"count":null})").request;
  ASSERT_TRUE(request);
  EXPECT_FALSE(request->paths);
  EXPECT_FALSE(request->timeout);
  EXPECT_FALSE(request->count);

  request = decodeRequest(R"({"op":"x","count":2.0,"timeout":1e308})").request;
  ASSERT_TRUE(request);
  EXPECT_EQ(request->count, 2);
  EXPECT_EQ(request->timeout, 1e308);

  request = decodeRequest(R"({"op":"x","count":-9223372036854775808,"timeout":-1e-9})").request;
  ASSERT_TRUE(request);
  EXPECT_EQ(request->count, INT64_MIN);

  // A number too large for an integer is still a number for an unused key and for timeout.
  request = decodeRequest(R"({"op":"x","timeout":123456789012345678901234567890,"big":-1e999999})")
                .request;
  EXPECT_FALSE(request);  // -1e999999 cannot be represented at all
  request = decodeRequest(R"({"op":"x","timeout":123456789012345678901234567890})").request;
  ASSERT_TRUE(request);
  EXPECT_DOUBLE_EQ(*request->timeout, 1.2345678901234568e29);
}

TEST(Decode, DuplicateKeysKeepTheLastValue) {
  const auto request = decodeRequest(R"({"op":"a","path":"1","path":"2","op":"b"})").request;
  ASSERT_TRUE(request);
  EXPECT_EQ(request->op, "b");
  EXPECT_EQ(request->path, "2");
}

TEST(Decode, DeepNestingIsRefusedNotACrash) {
  const std::string deep =
      R"({"op":"ping","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  const DecodedRequest decoded = decodeRequest(deep);
  EXPECT_FALSE(decoded.request);
  EXPECT_EQ(decoded.error, "the request is nested too deeply");
}

TEST(Decode, PaddedInputDecodesInPlace) {
  std::string buffer = R"({"op":"write_file","content":"big"})";
  const std::size_t size = buffer.size();
  buffer.append(kDecoderPadding, '\0');
  const auto request = decodePaddedRequest(std::string_view(buffer).substr(0, size)).request;
  ASSERT_TRUE(request);
  EXPECT_EQ(request->content, "big");
}

TEST(Decode, ContentWithoutEscapesSharesTheInputsOwner) {
  auto owner =
      std::make_shared<std::string>(R"({"op":"write_file","content":"shared","path":"a\tb"})");
  owner->reserve(owner->size() + kDecoderPadding);
  const std::string_view bytes(*owner);
  std::weak_ptr<std::string> watch = owner;
  auto request = decodePaddedRequest(bytes, std::move(owner)).request;
  ASSERT_TRUE(request);
  EXPECT_EQ(request->content->view(), "shared");
  EXPECT_EQ(request->path, "a\tb");
  EXPECT_FALSE(watch.expired());  // kept alive by the request alone
  request.reset();
  EXPECT_TRUE(watch.expired());

  auto escaped = std::make_shared<std::string>(R"({"op":"x","content":"a\nb"})");
  escaped->reserve(escaped->size() + kDecoderPadding);
  EXPECT_EQ(decodePaddedRequest(*escaped, escaped).request->content, "a\nb");
}

}  // namespace
}  // namespace OmviAgentRunnerMain
