// The MCP server's pure parts: version negotiation, and the argument check against the same
// table that writes each tool's inputSchema.
#include <gtest/gtest.h>

#include "runner/mcp/mcp_server.h"
#include "runner/mcp/tools.h"

namespace omvi_test {
namespace {

using namespace OmviAgentRunnerMain;
using namespace OmviAgentRunnerMain::mcp;

TEST(McpVersion, AnswersASpokenVersionElseTheNewest) {
  for (auto [asked, answered] : {std::pair{"2025-11-25", "2025-11-25"},
                                 {"2025-06-18", "2025-06-18"},
                                 {"2025-03-26", "2025-03-26"},
                                 {"2024-11-05", "2024-11-05"},
                                 {"2024-10-07", "2025-11-25"},
                                 {"", "2025-11-25"}}) {
    EXPECT_EQ(negotiateVersion(asked), answered) << asked;
  }
}

// Each row: tool, arguments, the error's text ("" for none), and for a valid call what the
// built request holds.
TEST(McpArguments, CheckedByTheSchemaTableAndMappedOntoTheRequest) {
  const struct {
    const char* tool;
    const char* arguments;
    const char* error;
  } rows[] = {
      {"write_file", R"({"path":"a","content":"x","root":"r"})", ""},
      {"write_file", R"({"path":"a"})", "missing required argument 'content'"},
      {"write_file", R"({"path":null,"content":"x"})", "argument 'path' must be a string"},
      {"write_file", R"({"path":"a","content":"x","Path":"b"})", "unknown argument 'Path'"},
      {"write_file", R"([])", "arguments must be a JSON object"},
      {"git_log", R"({"count":2.0})", ""},
      {"git_log", R"({"count":2.5})", "argument 'count' must be an integer"},
      {"git_log", R"({"count":1e30})", "argument 'count' must be an integer"},
      {"shell", R"({"command":"x","timeout":1})", ""},
      {"shell", R"({"command":"x","timeout":true})", "argument 'timeout' must be a number"},
      {"apply_diff", R"({"diff":"d","dry_run":1})", "argument 'dry_run' must be a boolean"},
      {"git_stage", R"({"paths":"a"})", "argument 'paths' must be an array of strings"},
      {"git_stage", R"({"paths":["a",null]})", "argument 'paths[1]' must be a string"},
      {"git_status", R"({"root":5})", "argument 'root' must be a string"},
      {"git_status", R"({"root":"a","root":"b"})", "argument 'root' is given twice"},
  };
  for (const auto& row : rows) {
    const Tool* tool = findTool(row.tool);
    ASSERT_NE(tool, nullptr) << row.tool;
    simdjson::dom::parser parser;
    const simdjson::dom::element arguments = parser.parse(std::string_view(row.arguments));
    ToolArguments checked;
    const auto error = checkArguments(*tool, arguments, checked);
    EXPECT_EQ(error.value_or("").substr(0, std::string_view(row.error).size()), row.error)
        << row.tool << " " << row.arguments;
    EXPECT_EQ(error.has_value(), *row.error != '\0') << row.arguments;
  }

  // A valid call becomes the operation's request in the call's root.
  simdjson::dom::parser parser;
  ToolCall call;
  call.root = "/ws";
  ASSERT_FALSE(checkArguments(
      *findTool("git_deliver"),
      parser.parse(
          std::string_view(R"({"worktree_path":"w","branch":"b","prune":true,"timeout":20})")),
      call.arguments));
  const RunnerRequest request = requestFor(*findTool("git_deliver"), call);
  EXPECT_EQ(request.op, "git_deliver");
  EXPECT_EQ(request.workspaceRoot, "/ws");
  EXPECT_EQ(request.worktreePath, "w");
  EXPECT_EQ(request.branch, "b");
  EXPECT_EQ(request.prune, true);
  EXPECT_EQ(request.timeout, 20.0);
}

}  // namespace
}  // namespace omvi_test
