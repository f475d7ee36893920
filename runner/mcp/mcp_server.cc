#include "runner/mcp/mcp_server.h"

#include <simdjson.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "runner/mcp/tools.h"
#include "runner/process/call_context.h"
#include "runner/records.h"
#include "runner/service/json_rpc.h"

namespace OmviAgentRunnerMain::mcp {

std::string_view negotiateVersion(std::string_view requested) {
  for (std::string_view version : kProtocolVersions) {
    if (version == requested) return version;
  }
  return kProtocolVersions[0];
}

namespace {

using Clock = std::chrono::steady_clock;
using simdjson::dom::element;

constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;
constexpr int kServerBusy = -32000;

// Messages up to this size share the reading thread's parser; a larger one gets a parser of
// its own, so that its buffers are given back once it is read.
constexpr std::size_t kSharedParserLimit = std::size_t{1} << 20;

// How long a call waits for the client's answer to roots/list before using what it has.
constexpr auto kRootsWait = std::chrono::seconds(10);

constexpr std::string_view kLogLevels[] = {"debug", "info",     "notice", "warning",
                                           "error", "critical", "alert",  "emergency"};

int logLevelIndex(std::string_view level) {
  for (std::size_t i = 0; i < std::size(kLogLevels); ++i) {
    if (kLogLevels[i] == level) return static_cast<int>(i);
  }
  return -1;
}

constexpr std::string_view kInstructions =
    "Files, git and shell confined to the served roots (see list_roots). Paths are relative to "
    "the root or absolute inside it; symbolic links leading out are refused. Use "
    "git_worktree_add for an isolated task branch and git_deliver to merge it back.";

// One tools/call from its arrival to its reply.
struct Call {
  std::string id;  ///< the id's JSON text
  const Tool* tool = nullptr;
  ToolArguments arguments;
  std::optional<std::string> progressToken;  ///< its JSON text
  int cancelFd = -1;                         ///< an eventfd, written once to cancel
  std::atomic<std::uint64_t> outputBytes{0};
  std::atomic<bool> cancelledByClient{false};
  std::atomic<bool> running{false};
  Clock::time_point started{};
  bool done = false;  ///< its reply is written (under the write mutex)
  int progressSent = 0;

  Call() : cancelFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Call() {
    if (cancelFd >= 0) close(cancelFd);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  void cancel() const {
    if (cancelFd < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(cancelFd, &one, sizeof one);
  }
};

std::string rpcResult(std::string_view id, std::string_view result) {
  std::string out = R"({"jsonrpc":"2.0","id":)";
  out += id;
  out += R"(,"result":)";
  out += result;
  out.push_back('}');
  return out;
}

std::string rpcError(std::string_view id, int code, std::string_view message) {
  std::string out = R"({"jsonrpc":"2.0","id":)";
  out += id;
  out += R"(,"error":{"code":)";
  out += std::to_string(code);
  out += R"(,"message":)";
  appendJsonString(out, message);
  out += "}}";
  return out;
}

std::string toolResult(const ToolOutcome& outcome) {
  std::string out = R"({"content":[{"type":"text","text":)";
  appendJsonString(out, outcome.text);
  out.push_back('}');
  for (const ImageContent& image : outcome.images) {
    out += R"(,{"type":"image","data":)";
    appendJsonString(out, image.base64);
    out += R"(,"mimeType":)";
    appendJsonString(out, image.mimeType);
    out.push_back('}');
  }
  out += "]";
  if (!outcome.structured.empty()) {
    out += R"(,"structuredContent":)";
    out += outcome.structured;
  }
  out += outcome.isError ? R"(,"isError":true})" : R"(,"isError":false})";
  return out;
}

// The path of a file: URI, percent escapes decoded; nothing for another scheme.
std::optional<std::string> pathOfFileUri(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (uri.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  uri.remove_prefix(kScheme.size());
  if (uri.substr(0, 9) == "localhost") uri.remove_prefix(9);
  if (uri.empty() || uri.front() != '/') return std::nullopt;
  std::string path;
  for (std::size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] == '%' && i + 2 < uri.size()) {
      const std::string hex(uri.substr(i + 1, 2));
      char* end = nullptr;
      const long value = std::strtol(hex.c_str(), &end, 16);
      if (end == hex.c_str() + 2) {
        path.push_back(static_cast<char>(value));
        i += 2;
        continue;
      }
    }
    path.push_back(uri[i]);
  }
  if (path.find('\0') != std::string::npos) return std::nullopt;
  return path;
}

std::string baseName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string absolutePath(const std::string& path, const std::string& base) {
  if (!path.empty() && path.front() == '/') return path;
  return base + "/" + path;
}

}  // namespace

struct McpServer::State {
  ServerOptions options;
  Sink sink;

  std::mutex writeMutex;  // every message out; a call's `done` and `progressSent`

  std::atomic<int> logLevel{logLevelIndex("warning")};
  bool clientOffersRoots = false;  // reading thread only

  std::mutex rootsMutex;
  std::condition_variable rootsChanged;
  std::vector<Root> roots;
  bool rootsPending = false;
  std::string rootsRequestId;  // the id of our roots/list in flight
  int rootsRequests = 0;

  std::mutex callsMutex;
  std::condition_variable workAvailable;
  std::map<std::string, std::shared_ptr<Call>> calls;  // every call not yet answered
  std::deque<std::shared_ptr<Call>> queue;
  bool stopping = false;
  // Started as calls need them, up to `options.workers`: a server that is only asked to
  // initialize or ping starts none.
  std::vector<std::thread> workers;
  std::size_t idleWorkers = 0;

  std::thread ticker;
  std::mutex tickerMutex;
  std::condition_variable tickerWake;
  bool tickerStop = false;

  std::once_flag shutdownOnce;
  simdjson::dom::parser parser;  // the reading thread's

  State(ServerOptions givenOptions, Sink givenSink)
      : options(std::move(givenOptions)), sink(std::move(givenSink)) {
    for (const std::string& root : options.roots) {
      const std::string path = absolutePath(root, options.launchDirectory);
      roots.push_back({path, baseName(path)});
    }
    if (roots.empty()) {
      roots.push_back({options.launchDirectory, baseName(options.launchDirectory)});
    }
  }

  // Caller holds `callsMutex`; a call was just queued. False when no worker runs and none
  // could be started.
  bool startWorkerIfNeeded() {
    if (idleWorkers >= queue.size() || workers.size() >= std::max<std::size_t>(1, options.workers))
      return true;
    try {
      if (!ticker.joinable()) ticker = std::thread([this] { tick(); });
      workers.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // The call waits for a worker that runs, if there is one.
    }
    return !workers.empty();
  }

  void send(std::string_view message) {
    const std::lock_guard lock(writeMutex);
    sink(message);
  }

  void log(std::string_view level, std::string_view text) {
    if (logLevelIndex(level) < logLevel.load()) return;
    std::string out = R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":)";
    appendJsonString(out, level);
    out += R"(,"logger":"omvi-agent-mcp","data":)";
    appendJsonString(out, text);
    out += "}}";
    send(out);
  }

  // ---- the reading thread ----

  void receive(std::string_view message) {
    if (message.size() > kSharedParserLimit) {
      simdjson::dom::parser own;
      return receiveWith(own, message);
    }
    receiveWith(parser, message);
  }

  void receiveWith(simdjson::dom::parser& with, std::string_view message) {
    element document;
    if (auto error = with.parse(message.data(), message.size()).get(document)) {
      send(rpcError("null", -32700, std::string("Parse error: ") + simdjson::error_message(error)));
      return;
    }
    simdjson::dom::object object;
    if (document.get_object().get(object) != simdjson::SUCCESS) {
      send(rpcError("null", -32600, "Invalid Request: a message must be a JSON object"));
      return;
    }
    std::string id = "null";
    bool hasId = false;
    element idElement;
    if (object["id"].get(idElement) == simdjson::SUCCESS) {
      hasId = true;
      if (idElement.is_string() || idElement.is_int64() || idElement.is_uint64()) {
        id = simdjson::minify(idElement);
      } else {
        send(rpcError("null", -32600, "Invalid Request: \"id\" must be a string or an integer"));
        return;
      }
    }
    std::string_view version;
    if (object["jsonrpc"].get_string().get(version) != simdjson::SUCCESS || version != "2.0") {
      send(rpcError(id, -32600, R"(Invalid Request: "jsonrpc" must be "2.0")"));
      return;
    }
    element methodElement;
    if (object["method"].get(methodElement) != simdjson::SUCCESS) {
      if (hasId && (object["result"].error() == simdjson::SUCCESS ||
                    object["error"].error() == simdjson::SUCCESS)) {
        return receiveReply(id, object);
      }
      send(rpcError(id, -32600, "Invalid Request: no \"method\""));
      return;
    }
    std::string_view method;
    if (methodElement.get_string().get(method) != simdjson::SUCCESS) {
      send(rpcError(id, -32600, "Invalid Request: \"method\" must be a string"));
      return;
    }
    std::optional<element> params;
    element paramsElement;
    if (object["params"].get(paramsElement) == simdjson::SUCCESS) {
      if (!paramsElement.is_object()) {
        if (hasId) send(rpcError(id, kInvalidParams, "Invalid params: must be an object"));
        return;
      }
      params = paramsElement;
    }
    if (!hasId) return receiveNotification(method, params);
    try {
      receiveRequest(id, method, params);
    } catch (const std::exception& error) {
      send(rpcError(id, kInternalError, std::string("Internal error: ") + error.what()));
    }
  }

  void receiveRequest(const std::string& id, std::string_view method,
                      std::optional<element> params) {
    if (method == "initialize") return initialize(id, params);
    if (method == "ping") return send(rpcResult(id, "{}"));
    if (method == "tools/list") {
      return send(rpcResult(id, R"({"tools":)" + toolListJson() + "}"));
    }
    if (method == "tools/call") return callTool(id, params);
    if (method == "logging/setLevel") {
      std::string_view level;
      const int index = params && (*params)["level"].get_string().get(level) == simdjson::SUCCESS
                            ? logLevelIndex(level)
                            : -1;
      if (index < 0) {
        return send(rpcError(id, kInvalidParams,
                             "Invalid params: \"level\" must be one of debug, info, notice, "
                             "warning, error, critical, alert, emergency"));
      }
      logLevel = index;
      return send(rpcResult(id, "{}"));
    }
    send(rpcError(id, -32601, "Method not found: " + std::string(method)));
  }

  void initialize(const std::string& id, std::optional<element> params) {
    std::string_view requested;
    if (!params || (*params)["protocolVersion"].get_string().get(requested) != simdjson::SUCCESS) {
      return send(rpcError(id, kInvalidParams, "Invalid params: \"protocolVersion\" is required"));
    }
    element offered;
    clientOffersRoots =
        (*params)["capabilities"]["roots"].get(offered) == simdjson::SUCCESS && offered.is_object();
    std::string result = R"({"protocolVersion":)";
    appendJsonString(result, negotiateVersion(requested));
    result += R"(,"capabilities":{"tools":{"listChanged":false},"logging":{}},)"
              R"("serverInfo":{"name":"omvi-agent-mcp","title":"omvi agent runner","version":)";
    appendJsonString(result, OMVI_VERSION);
    result += R"(},"instructions":)";
    appendJsonString(result, kInstructions);
    result.push_back('}');
    send(rpcResult(id, result));
  }

  void receiveNotification(std::string_view method, std::optional<element> params) {
    if (method == "notifications/initialized" || method == "notifications/roots/list_changed") {
      if (options.roots.empty() && clientOffersRoots) askForRoots();
      return;
    }
    if (method == "notifications/cancelled" && params) {
      element requestId;
      if ((*params)["requestId"].get(requestId) != simdjson::SUCCESS) return;
      const std::string key = simdjson::minify(requestId);
      const std::lock_guard lock(callsMutex);
      const auto found = calls.find(key);
      if (found == calls.end()) return;  // answered already, or never ours
      found->second->cancelledByClient = true;
      found->second->cancel();
      log("debug", "call " + key + " cancelled by the client");
    }
  }

  void askForRoots() {
    std::string request;
    {
      const std::lock_guard lock(rootsMutex);
      rootsPending = true;
      rootsRequestId = "\"omvi-roots-" + std::to_string(++rootsRequests) + "\"";
      request = R"({"jsonrpc":"2.0","id":)" + rootsRequestId + R"(,"method":"roots/list"})";
    }
    send(request);
  }

  void receiveReply(const std::string& id, simdjson::dom::object reply) {
    std::vector<Root> given;
    bool usable = false;
    simdjson::dom::array list;
    if (reply["result"]["roots"].get_array().get(list) == simdjson::SUCCESS) {
      usable = true;
      for (element entry : list) {
        std::string_view uri;
        if (entry["uri"].get_string().get(uri) != simdjson::SUCCESS) continue;
        const auto path = pathOfFileUri(uri);
        if (!path) continue;
        std::string_view name;
        const bool named = entry["name"].get_string().get(name) == simdjson::SUCCESS;
        given.push_back({*path, named ? std::string(name) : baseName(*path)});
      }
    }
    {
      const std::lock_guard lock(rootsMutex);
      if (id != rootsRequestId) return;  // an answer to an older request
      rootsPending = false;
      if (usable && !given.empty()) roots = std::move(given);
    }
    rootsChanged.notify_all();
    if (!usable) log("warning", "the client's roots/list failed; serving the launch directory");
  }

  void callTool(const std::string& id, std::optional<element> params) {
    std::string_view name;
    if (!params || (*params)["name"].get_string().get(name) != simdjson::SUCCESS) {
      return send(rpcError(id, kInvalidParams, "Invalid params: \"name\" must be a string"));
    }
    const Tool* tool = findTool(name);
    if (tool == nullptr) {
      return send(rpcError(id, kInvalidParams, "Unknown tool: " + std::string(name)));
    }
    auto call = std::make_shared<Call>();
    call->id = id;
    call->tool = tool;
    element arguments;
    std::optional<element> given;
    if ((*params)["arguments"].get(arguments) == simdjson::SUCCESS) given = arguments;
    if (auto problem = checkArguments(*tool, given, call->arguments)) {
      return send(rpcResult(id, toolResult(argumentError(*tool, *problem))));
    }
    element token;
    if ((*params)["_meta"]["progressToken"].get(token) == simdjson::SUCCESS &&
        (token.is_string() || token.is_int64() || token.is_uint64())) {
      call->progressToken = simdjson::minify(token);
    }
    {
      const std::lock_guard lock(callsMutex);
      if (stopping) return;
      if (calls.size() >= options.maxCallsInFlight) {
        send(rpcError(id, kServerBusy,
                      "Server busy: " + std::to_string(options.maxCallsInFlight) +
                          " calls are in flight; wait for replies before sending more"));
        return;
      }
      if (!calls.emplace(id, call).second) {
        send(rpcError(id, -32600, "Invalid Request: a call with this id is in flight"));
        return;
      }
      queue.push_back(call);
      if (!startWorkerIfNeeded()) {
        // No thread could start and none runs: the call is answered rather than left waiting.
        queue.pop_back();
        calls.erase(id);
        send(rpcError(id, kServerBusy, "Server busy: no thread could be started for the call"));
        return;
      }
    }
    workAvailable.notify_one();
  }

  // ---- the workers ----

  void work() {
    for (;;) {
      std::shared_ptr<Call> call;
      bool answerAsCancelled = false;
      {
        std::unique_lock lock(callsMutex);
        ++idleWorkers;
        workAvailable.wait(lock, [&] { return stopping || !queue.empty(); });
        --idleWorkers;
        if (queue.empty()) return;
        call = std::move(queue.front());
        queue.pop_front();
        answerAsCancelled = stopping;
        call->started = Clock::now();
        call->running = !answerAsCancelled;
      }
      ToolOutcome outcome;
      if (answerAsCancelled) {
        outcome = outcomeOf(failure("cancelled: the server is shutting down"));
      } else if (!call->cancelledByClient) {
        outcome = run(*call);
      }
      finish(*call, outcome);
      if (logLevel.load() == 0) {
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - call->started);
        log("debug", std::string(call->tool->name) + (outcome.isError ? " failed" : " succeeded") +
                         " in " + std::to_string(took.count()) + " ms");
      }
    }
  }

  ToolOutcome run(Call& call) {
    try {
      ToolCall toolCall;
      std::vector<Root> served = currentRoots();
      toolCall.roots = served;
      const auto rootName = call.arguments.string("root");
      const Root* chosen = served.empty() ? nullptr : &served.front();
      if (rootName) {
        chosen = nullptr;
        for (const Root& root : served) {
          if (root.path == *rootName || root.name == *rootName) chosen = &root;
        }
        if (chosen == nullptr) {
          std::string names;
          for (const Root& root : served)
            names += (names.empty() ? "" : ", ") + root.path;
          return argumentError(*call.tool,
                               "argument 'root' names no served root (served: " + names + ")");
        }
      }
      if (chosen == nullptr) return argumentError(*call.tool, "no root is served");
      toolCall.root = chosen->path;
      toolCall.arguments = call.arguments;
      const CallContext context{call.cancelFd, &call.outputBytes};
      const ScopedCallContext installed(context);
      ToolOutcome outcome = call.tool->run(*call.tool, toolCall);
      if (outcome.structured == kEncodeFailedText) {
        outcome = outcomeOf(failure("encode_failed: the answer held text that is not UTF-8"));
      }
      return outcome;
    } catch (const std::exception& error) {
      return outcomeOf(failure(std::string("internal_error: ") + error.what()));
    }
  }

  std::vector<Root> currentRoots() {
    std::unique_lock lock(rootsMutex);
    rootsChanged.wait_for(lock, kRootsWait, [&] { return !rootsPending || shuttingDown(); });
    return roots;
  }

  bool shuttingDown() {
    const std::lock_guard lock(callsMutex);
    return stopping;
  }

  void finish(Call& call, const ToolOutcome& outcome) {
    {
      const std::lock_guard lock(writeMutex);
      call.done = true;
      if (!call.cancelledByClient) sink(rpcResult(call.id, toolResult(outcome)));
    }
    const std::lock_guard lock(callsMutex);
    calls.erase(call.id);
  }

  // ---- progress ----

  void tick() {
    const auto interval = std::chrono::duration<double>(options.progressInterval);
    std::unique_lock lock(tickerMutex);
    while (!tickerWake.wait_for(lock, interval / 4, [&] { return tickerStop; })) {
      std::vector<std::shared_ptr<Call>> running;
      {
        const std::lock_guard callsLock(callsMutex);
        for (const auto& [id, call] : calls) {
          if (call->progressToken && call->running && !call->cancelledByClient) {
            running.push_back(call);
          }
        }
      }
      const auto now = Clock::now();
      for (const auto& call : running) {
        const double elapsed = std::chrono::duration<double>(now - call->started).count();
        const int due = static_cast<int>(elapsed / options.progressInterval);
        const std::lock_guard writeLock(writeMutex);
        if (call->done || due <= call->progressSent) continue;
        call->progressSent = due;
        const std::uint64_t bytes = call->outputBytes.load();
        std::string out =
            R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":)";
        out += *call->progressToken;
        out += R"(,"progress":)";
        out += std::to_string(static_cast<long long>(elapsed));
        out += R"(,"message":)";
        appendJsonString(out, std::to_string(static_cast<long long>(elapsed)) + " s, " +
                                  std::to_string(bytes) + " bytes of output");
        out += "}}";
        sink(out);
      }
    }
  }

  void shutdown() {
    std::vector<std::thread> started;
    {
      const std::lock_guard lock(callsMutex);
      stopping = true;  // no worker starts after this
      for (const auto& [id, call] : calls)
        call->cancel();
      started = std::move(workers);
    }
    workAvailable.notify_all();
    rootsChanged.notify_all();
    for (std::thread& worker : started)
      worker.join();
    {
      const std::lock_guard lock(tickerMutex);
      tickerStop = true;
    }
    tickerWake.notify_all();
    if (ticker.joinable()) ticker.join();
  }
};

McpServer::McpServer(ServerOptions options, Sink sink)
    : state_(std::make_unique<State>(std::move(options), std::move(sink))) {}

McpServer::~McpServer() {
  shutdown();
}

void McpServer::receive(std::string_view message) {
  state_->receive(message);
}

void McpServer::refuseOversized(std::size_t limit) {
  state_->send(
      rpcError("null", -32600,
               "Invalid Request: a message may hold at most " + std::to_string(limit) + " bytes"));
}

void McpServer::shutdown() {
  std::call_once(state_->shutdownOnce, [this] { state_->shutdown(); });
}

}  // namespace OmviAgentRunnerMain::mcp
