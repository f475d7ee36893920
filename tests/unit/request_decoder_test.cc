// The decoder's exact sentences and values. That every field refuses every other type, and that
// malformed or hostile text is refused over every way in, is tests/e2e/hostile_input_test.cc's;
// the fuzz target checks both entry points agree.
#include "runner/request_decoder.h"

#include <gtest/gtest.h>

namespace OmviAgentRunnerMain {
namespace {

TEST(Decode, EachRefusalSaysWhatIsWrong) {
  const std::string deep =
      R"({"op":"ping","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
  // The other sentences are rows of tests/data/malformed_requests.txt, sent over every way in.
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", "the request is empty or only white space"},
      {deep, "the request is nested too deeply"},
      {R"({"op":"a",")" + std::string(300, 'k') + R"(":1,")" + std::string(300, 'k') + R"(":1})",
       "key \"" + std::string(64, 'k') + "\u2026\" appears more than once"},
  };
  // clang-format on
  for (const auto& [json, sentence] : cases) {
    const DecodedRequest decoded = decodeRequest(json);
    EXPECT_FALSE(decoded.request) << json;
    EXPECT_EQ(decoded.error, sentence) << json.substr(0, 40);
  }
}

RunnerRequest decoded(const std::string& json) {
  const DecodedRequest result = decodeRequest(json);
  EXPECT_TRUE(result.request) << json << ": " << result.error;
  return result.request.value_or(RunnerRequest{});
}

// Which key lands in which field is also every end-to-end request's business; here, that values
// are taken as they stand: untrimmed, unescaped, unknown and differently cased keys ignored.
TEST(Decode, TakesValuesAsTheyStand) {
  const RunnerRequest r = decoded(
      R"({"op":" Git_Status\n","workspace_root":" /ws ","paths":["a","b\/c"],"content":"x\u00e9\ud83d\ude00",)"
      R"("dry_run":false,"timeout":30,"count":-7,"allow_network":true,"unknown":{"deep":[1,{"a":null}]},)"
      R"("COUNT":"ignored","set_upstream":true,"base_branch":"dev","worktree_path":"w","no_ff":false})");
  EXPECT_EQ(r.op, " Git_Status\n");
  EXPECT_EQ(r.workspaceRoot, " /ws ");
  EXPECT_EQ(r.paths, (std::vector<std::string>{"a", "b/c"}));
  EXPECT_EQ(r.content, "xé😀");
  EXPECT_EQ(r.dryRun, false);
  EXPECT_EQ(r.timeout, 30.0);
  EXPECT_EQ(r.count, -7);
  EXPECT_FALSE(r.path);
  EXPECT_FALSE(r.message);

  // An integral count written as a real, the count's whole 64 bits, and a timeout of any size.
  EXPECT_EQ(decoded(R"({"op":"x","count":2.0})").count, 2);
  EXPECT_EQ(decoded(R"({"op":"x","count":-9223372036854775808})").count, INT64_MIN);
  EXPECT_EQ(decoded(R"({"op":"x","timeout":123456789012345678901234567890})").timeout,
            1.2345678901234568e29);
  // Null is absent.
  const RunnerRequest nulls = decoded(R"({"op":"x","paths":null,"timeout":null,"count":null})");
  EXPECT_FALSE(nulls.paths || nulls.timeout || nulls.count);
}

}  // namespace
}  // namespace OmviAgentRunnerMain
