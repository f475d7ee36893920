// Operation dispatch: the single place where a decoded request meets an operation.
//
// Owns: the normalisation of `op`, the operation table, the ping response and the
// unknown-operation failure. Does not own: any operation's work (the handlers).
#pragma once

#include <span>
#include <string_view>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Every handler: the whole request in, a complete response out, never throwing.
using Handler = RunnerResponse (*)(const RunnerRequest&);

struct Operation {
  std::string_view name;  ///< the normalised `op`
  Handler handler;
};

/// The operations, in matching order ("ping" first).
[[nodiscard]] std::span<const Operation> operationTable();

/// `ok` true, `stdout` "pong", `helper` and `pid`: the answer to "ping" and to --ping.
[[nodiscard]] RunnerResponse pingResponse();

/// Trims and lower-cases `op`, runs the matching handler and returns its response unchanged;
/// "unknown op '<op as sent>'" when nothing matches. Never throws and never ends the process.
[[nodiscard]] RunnerResponse handle(const RunnerRequest& request);

}  // namespace OmviAgentRunnerMain
