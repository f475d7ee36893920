#include "runner/mcp/http_transport.h"

#include <poll.h>
#include <simdjson.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <restinio/all.hpp>
#include <thread>
#include <utility>

#include "runner/posix.h"

namespace OmviAgentRunnerMain::mcp {
namespace {

using Request = restinio::request_handle_t;
using Stream = restinio::response_builder_t<restinio::chunked_output_t>;
using restinio::http_status_line_t;

struct Traits : restinio::default_traits_t {
  // cppcheck-suppress unusedStructMember ; read by RESTinio
  static constexpr bool use_connection_count_limiter = true;
};

constexpr std::string_view kSessionHeader = "Mcp-Session-Id";
constexpr std::size_t kMaxQueuedEvents = 64;  // held for a GET stream not yet open

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i)
    if (equalsIgnoringCase(text.substr(i, part.size()), part)) return true;
  return false;
}

/// One JSON-RPC message as one server-sent event.
std::string event(std::string_view message) {
  std::string out = "event: message\n";
  // Compact JSON has no line feed; should one appear, each line gets its own data field.
  for (std::size_t start = 0;;) {
    const auto end = message.find('\n', start);
    out += "data: ";
    out += message.substr(start, end - start);
    out += '\n';
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  out += '\n';
  return out;
}

std::optional<std::string_view> field(const Request& request, std::string_view name) {
  const auto& header = request->header();
  if (!header.has_field(name)) return std::nullopt;
  return std::string_view(header.get_field(name));
}

/// A POST whose request awaits its reply.
struct PendingPost {
  Request request;
  std::optional<Stream> stream;  // once a message other than the reply went out
  std::string sessionId;         // set on the initialize that made the session
};

struct Session {
  std::string id;
  std::mutex mutex;  // guards the members below, never held while calling `server`
  std::map<std::string, std::shared_ptr<PendingPost>> posts;  // by the request's id (JSON)
  std::map<std::string, std::string> progressTokens;          // token (JSON) -> request id
  std::optional<Stream> events;                               // the GET stream
  std::shared_ptr<std::atomic<bool>> eventsBroken;
  std::vector<std::string> queued;
  simdjson::dom::parser sinkParser;  // used by `route` only, which the server serializes

  std::uint64_t lastUsed = 0;  // under HttpServer's mutex
  std::mutex receiveMutex;     // the server takes messages from one thread at a time
  std::unique_ptr<McpServer> server;

  void receive(std::string_view message) {
    const std::lock_guard lock(receiveMutex);
    server->receive(message);
  }

  void startStream(PendingPost& post) {
    post.stream.emplace(post.request->create_response<restinio::chunked_output_t>());
    post.stream->append_header(restinio::http_field::content_type, "text/event-stream")
        .append_header(restinio::http_field::cache_control, "no-cache");
    if (!post.sessionId.empty())
      post.stream->append_header(std::string(kSessionHeader), post.sessionId);
  }

  void finish(PendingPost& post, std::string_view message) {
    if (post.stream) {
      post.stream->append_chunk(event(message));
      post.stream->done();
      return;
    }
    auto response = post.request->create_response();
    response.append_header(restinio::http_field::content_type, "application/json");
    if (!post.sessionId.empty())
      response.append_header(std::string(kSessionHeader), post.sessionId);
    response.set_body(std::string(message));
    response.done();
  }

  void streamTo(PendingPost& post, std::string_view message) {
    if (!post.stream) startStream(post);
    post.stream->append_chunk(event(message));
    post.stream->flush();
  }

  // Caller holds `mutex`.
  bool sendEvent(std::string_view message) {
    if (!events || eventsBroken->load()) {
      events.reset();
      return false;
    }
    events->append_chunk(event(message));
    events->flush([broken = eventsBroken](const asio::error_code& error) {
      if (error) broken->store(true);
    });
    return true;
  }

  /// A call the client cancelled gets no reply: its POST ends with an empty event stream.
  void endCancelled(const std::string& id) {
    const std::lock_guard lock(mutex);
    const auto found = posts.find(id);
    if (found == posts.end()) return;
    if (!found->second->stream) startStream(*found->second);
    found->second->stream->done();
    posts.erase(found);
    std::erase_if(progressTokens, [&](const auto& entry) { return entry.second == id; });
  }

  /// The server's sink: the reply goes to its POST, a progress message to the POST of the
  /// call it reports on, anything else to the GET stream (else to a POST in flight, else it
  /// waits for a GET stream, a few at most).
  void route(std::string_view message) {
    std::string replyTo, token;
    simdjson::dom::element document;
    if (sinkParser.parse(message.data(), message.size(), true).get(document) == simdjson::SUCCESS) {
      std::string_view method;
      simdjson::dom::element value;
      const bool hasMethod = document["method"].get_string().get(method) == simdjson::SUCCESS;
      if (!hasMethod && document["id"].get(value) == simdjson::SUCCESS) {
        replyTo = simdjson::minify(value);
      } else if (method == "notifications/progress" &&
                 document["params"]["progressToken"].get(value) == simdjson::SUCCESS) {
        token = simdjson::minify(value);
      }
    }
    const std::lock_guard lock(mutex);
    if (!replyTo.empty()) {
      const auto found = posts.find(replyTo);
      if (found == posts.end()) return;  // its client went away with its session
      finish(*found->second, message);
      posts.erase(found);
      std::erase_if(progressTokens, [&](const auto& entry) { return entry.second == replyTo; });
      return;
    }
    if (!token.empty()) {
      const auto call = progressTokens.find(token);
      if (call != progressTokens.end()) {
        const auto post = posts.find(call->second);
        if (post != posts.end()) return streamTo(*post->second, message);
      }
    }
    if (sendEvent(message)) return;
    if (!posts.empty()) return streamTo(*posts.rbegin()->second, message);
    if (queued.size() < kMaxQueuedEvents) queued.emplace_back(message);
  }
};

class HttpServer {
 public:
  HttpServer(const ServerOptions& serverOptions, const HttpOptions& options)
      : serverOptions_(serverOptions), options_(options) {}

  restinio::request_handling_status_t handle(const Request& request) {
    try {
      return dispatch(request);
    } catch (const std::exception& error) {
      return reply(request, restinio::status_internal_server_error(), error.what());
    }
  }

  /// Ends every session; their calls in flight are answered first.
  void endAll() {
    std::map<std::string, std::shared_ptr<Session>> ending;
    {
      const std::lock_guard lock(mutex_);
      ending.swap(sessions_);
    }
    for (auto& [id, session] : ending)
      session->server->shutdown();
  }

 private:
  static restinio::request_handling_status_t reply(const Request& request,
                                                   http_status_line_t status, std::string_view text,
                                                   std::string_view challenge = {}) {
    auto response = request->create_response(std::move(status));
    response.append_header(restinio::http_field::content_type, "text/plain; charset=utf-8");
    if (!challenge.empty())
      response.append_header(restinio::http_field::www_authenticate, std::string(challenge));
    if (response.header().status_code() == restinio::status_code::method_not_allowed)
      response.append_header(restinio::http_field::allow, "GET, POST, DELETE");
    if (!text.empty()) response.set_body(std::string(text) + "\n");
    return response.done();
  }

  /// A JSON-RPC error the transport answers itself (the message never reaches a session).
  static restinio::request_handling_status_t rpcFailure(const Request& request,
                                                        http_status_line_t status, int code,
                                                        std::string_view text) {
    auto response = request->create_response(std::move(status));
    response.append_header(restinio::http_field::content_type, "application/json");
    std::string body =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":)" + std::to_string(code) + R"(,"message":")";
    body += text;  // texts below are fixed and need no escaping
    body += "\"}}";
    response.set_body(std::move(body));
    return response.done();
  }

  bool hostAllowed(std::string_view host) const {
    if (isLoopbackHost(host)) return true;
    return std::ranges::any_of(options_.allowedOrigins, [&](const std::string& origin) {
      return equalsIgnoringCase(hostOf(origin), host);
    });
  }

  restinio::request_handling_status_t dispatch(const Request& request) {
    if (!options_.token.empty()) {
      const auto authorization = field(request, "Authorization");
      constexpr std::string_view kScheme = "Bearer ";
      if (!authorization || authorization->size() < kScheme.size() ||
          !equalsIgnoringCase(authorization->substr(0, kScheme.size()), kScheme) ||
          !sameSecret(authorization->substr(kScheme.size()), options_.token)) {
        return reply(request, restinio::status_unauthorized(), "a bearer token is required",
                     "Bearer");
      }
    }
    // DNS rebinding: a page from elsewhere that reaches a loopback server by a name of its own
    // shows that name in Host and its own origin in Origin.
    if (isLoopbackHost(options_.host)) {
      const auto host = field(request, "Host");
      if (!host || !hostAllowed(hostOf(*host)))
        return reply(request, restinio::status_forbidden(), "this Host is not served");
    }
    if (const auto origin = field(request, "Origin")) {
      const bool listed = std::ranges::any_of(options_.allowedOrigins, [&](const auto& allowed) {
        return equalsIgnoringCase(allowed, *origin);
      });
      if (!listed && !(isLoopbackHost(hostOf(*origin)) && isLoopbackHost(options_.host)))
        return reply(request, restinio::status_forbidden(), "this Origin is not allowed");
    }
    if (request->header().path() != "/mcp")
      return reply(request, restinio::status_not_found(), "the endpoint is /mcp");
    if (const auto version = field(request, "MCP-Protocol-Version")) {
      if (std::ranges::find(kProtocolVersions, *version) == std::end(kProtocolVersions))
        return reply(request, restinio::status_bad_request(), "unsupported MCP-Protocol-Version");
    }
    const auto method = request->header().method();
    if (method == restinio::http_method_post()) return post(request);
    if (method == restinio::http_method_get()) return get(request);
    if (method == restinio::http_method_delete()) return end(request);
    return reply(request, restinio::status_method_not_allowed(), "use POST, GET or DELETE");
  }

  /// The session named by the request: 400 when none is named, 404 when unknown or ended.
  std::variant<std::shared_ptr<Session>, restinio::request_handling_status_t> sessionOf(
      const Request& request) {
    const auto id = field(request, kSessionHeader);
    if (!id) return reply(request, restinio::status_bad_request(), "Mcp-Session-Id is required");
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(std::string(*id));
    if (found == sessions_.end())
      return reply(request, restinio::status_not_found(), "no such session");
    found->second->lastUsed = ++clock_;
    return found->second;
  }

  /// A new session; at the bound, the one idle longest (no call in flight) is ended to make
  /// room, since clients seldom end theirs. Null when every session is busy.
  std::shared_ptr<Session> newSession() {
    std::shared_ptr<Session> evicted;
    {
      const std::lock_guard lock(mutex_);
      if (sessions_.size() >= options_.maxSessions) {
        for (const auto& [id, candidate] : sessions_) {
          const std::lock_guard sessionLock(candidate->mutex);
          if (!candidate->posts.empty()) continue;
          if (!evicted || candidate->lastUsed < evicted->lastUsed) evicted = candidate;
        }
        if (!evicted) return nullptr;
        sessions_.erase(evicted->id);
      }
    }
    if (evicted) endSession(*evicted);
    auto made = std::make_shared<Session>();
    made->id = randomHex(16);
    made->eventsBroken = std::make_shared<std::atomic<bool>>(false);
    made->server = std::make_unique<McpServer>(
        serverOptions_, [raw = made.get()](std::string_view message) { raw->route(message); });
    const std::lock_guard lock(mutex_);
    if (sessions_.size() >= options_.maxSessions) return nullptr;
    made->lastUsed = ++clock_;
    sessions_.emplace(made->id, made);
    return made;
  }

  static void endSession(Session& session) {
    session.server->shutdown();
    const std::lock_guard lock(session.mutex);
    if (session.events) session.events->done();
    session.events.reset();
  }

  restinio::request_handling_status_t post(const Request& request) {
    const auto type = field(request, "Content-Type");
    if (!type || !containsIgnoringCase(*type, "application/json"))
      return reply(request, restinio::status_unsupported_media_type(), "send application/json");
    if (const auto accept = field(request, "Accept");
        accept && !containsIgnoringCase(*accept, "json") &&
        !containsIgnoringCase(*accept, "event-stream") && !containsIgnoringCase(*accept, "*/*")) {
      return reply(request, restinio::status_not_acceptable(),
                   "accept application/json and text/event-stream");
    }
    const std::string& body = request->body();
    if (body.size() > options_.maxBodyBytes)
      return reply(request, restinio::status_payload_too_large(), "the message is too large");

    thread_local simdjson::dom::parser parser;
    simdjson::dom::element document;
    if (parser.parse(body).get(document) != simdjson::SUCCESS)
      return rpcFailure(request, restinio::status_bad_request(), -32700, "Parse error");
    simdjson::dom::object object;
    if (document.get_object().get(object) != simdjson::SUCCESS)
      return rpcFailure(request, restinio::status_bad_request(), -32600,
                        "Invalid Request: one JSON-RPC message object per POST");
    std::string_view method;
    const bool hasMethod = object["method"].get_string().get(method) == simdjson::SUCCESS;
    simdjson::dom::element idElement;
    const bool hasId = object["id"].get(idElement) == simdjson::SUCCESS && !idElement.is_null();

    std::shared_ptr<Session> target;
    std::string issued;
    // cppcheck-suppress knownConditionTrueFalse ; |method| is set by simdjson above
    if (hasMethod && method == "initialize" && !field(request, kSessionHeader)) {
      target = newSession();
      if (!target)
        return reply(request, restinio::status_service_unavailable(), "too many sessions");
      issued = target->id;
    } else {
      auto found = sessionOf(request);
      if (auto* refused = std::get_if<restinio::request_handling_status_t>(&found)) return *refused;
      target = std::get<std::shared_ptr<Session>>(std::move(found));
    }

    if (!hasMethod || !hasId) {  // a notification, or the client's reply to one of ours
      target->receive(body);
      simdjson::dom::element cancelled;
      if (method == "notifications/cancelled" &&
          object["params"]["requestId"].get(cancelled) == simdjson::SUCCESS) {
        target->endCancelled(simdjson::minify(cancelled));
      }
      return reply(request, restinio::status_accepted(), "");
    }
    const std::string id = simdjson::minify(idElement);
    {
      const std::lock_guard lock(target->mutex);
      if (target->posts.contains(id))
        return rpcFailure(request, restinio::status_conflict(), -32600,
                          "Invalid Request: a request with this id is in flight");
      auto pending = std::make_shared<PendingPost>();
      pending->request = request;
      pending->sessionId = issued;
      target->posts.emplace(id, std::move(pending));
      simdjson::dom::element token;
      if (object["params"]["_meta"]["progressToken"].get(token) == simdjson::SUCCESS)
        target->progressTokens[simdjson::minify(token)] = id;
    }
    target->receive(body);
    return restinio::request_accepted();
  }

  restinio::request_handling_status_t get(const Request& request) {
    const auto accept = field(request, "Accept");
    if (!accept || !containsIgnoringCase(*accept, "text/event-stream"))
      return reply(request, restinio::status_not_acceptable(), "accept text/event-stream");
    auto found = sessionOf(request);
    if (auto* refused = std::get_if<restinio::request_handling_status_t>(&found)) return *refused;
    const auto target = std::get<std::shared_ptr<Session>>(std::move(found));
    const std::lock_guard lock(target->mutex);
    if (target->events) target->events->done();  // a newer stream replaces it
    target->eventsBroken = std::make_shared<std::atomic<bool>>(false);
    target->events.emplace(request->create_response<restinio::chunked_output_t>());
    target->events->append_header(restinio::http_field::content_type, "text/event-stream")
        .append_header(restinio::http_field::cache_control, "no-cache");
    target->events->flush();
    for (const std::string& message : target->queued)
      target->sendEvent(message);
    target->queued.clear();
    return restinio::request_accepted();
  }

  restinio::request_handling_status_t end(const Request& request) {
    auto found = sessionOf(request);
    if (auto* refused = std::get_if<restinio::request_handling_status_t>(&found)) return *refused;
    const auto target = std::get<std::shared_ptr<Session>>(std::move(found));
    {
      const std::lock_guard lock(mutex_);
      if (sessions_.erase(target->id) == 0)
        return reply(request, restinio::status_not_found(), "no such session");
    }
    endSession(*target);
    return reply(request, restinio::status_ok(), "session ended");
  }

  const ServerOptions& serverOptions_;
  const HttpOptions& options_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Session>> sessions_;
  std::uint64_t clock_ = 0;  // under mutex_: orders the sessions by their last use
};

}  // namespace

bool isLoopbackHost(std::string_view host) {
  if (equalsIgnoringCase(host, "localhost") || host == "::1") return true;
  asio::error_code error;
  const auto address = asio::ip::make_address(std::string(host), error);
  return !error && address.is_loopback();
}

std::string_view hostOf(std::string_view value) {
  if (const auto scheme = value.find("://"); scheme != std::string_view::npos)
    value.remove_prefix(scheme + 3);
  value = value.substr(0, value.find('/'));
  if (value.starts_with('[')) {
    const auto close = value.find(']');
    return close == std::string_view::npos ? std::string_view() : value.substr(1, close - 1);
  }
  return value.substr(0, value.find(':'));
}

bool sameSecret(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i)
    difference |= static_cast<unsigned char>(
        given[i] ^ expected[i % std::max<std::size_t>(expected.size(), 1)]);
  return difference == 0 && !expected.empty();
}

int serveHttp(const ServerOptions& serverOptions, const HttpOptions& options, int stopFd) {
  HttpServer handler(serverOptions, options);
  asio::io_context io;
  std::uint16_t boundPort = options.port;
  // Bodies between the limit and twice it are read and answered 413; a larger one is not
  // read at all (the connection is closed).
  const std::uint64_t hardLimit = std::uint64_t{options.maxBodyBytes} * 2 + 4096;
  restinio::http_server_t<Traits> server{
      restinio::external_io_context(io),
      restinio::server_settings_t<Traits>{}
          .address(options.host)
          .port(options.port)
          .max_parallel_connections(options.maxConnections)
          .incoming_http_msg_limits(restinio::incoming_http_msg_limits_t{}
                                        .max_body_size(hardLimit)
                                        .max_url_size(8192)
                                        .max_field_count(100)
                                        .max_field_value_size(8192))
          .read_next_http_message_timelimit(std::chrono::seconds(30))
          .write_http_response_timelimit(std::chrono::seconds(30))
          .handle_request_timeout(std::chrono::hours(24))
          .acceptor_post_bind_hook([&boundPort](asio::ip::tcp::acceptor& acceptor) {
            boundPort = acceptor.local_endpoint().port();
          })
          .request_handler([&handler](const Request& request) { return handler.handle(request); })};
  try {
    server.open_sync();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "omvi-agent-mcp: cannot listen on %s:%u: %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), error.what());
    return 1;
  }
  const bool v6 = options.host.find(':') != std::string::npos;
  std::fprintf(stderr, "omvi-agent-mcp: listening on http://%s%s%s:%u/mcp\n", v6 ? "[" : "",
               options.host.c_str(), v6 ? "]" : "", static_cast<unsigned>(boundPort));
  std::fflush(stderr);

  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < std::max<std::size_t>(options.threads, 1); ++i)
    threads.emplace_back([&io] { io.run(); });
  for (;;) {
    pollfd stop{stopFd, POLLIN, 0};
    const int ready = poll(&stop, stopFd >= 0 ? 1 : 0, -1);
    if (ready < 0 && errno == EINTR) continue;
    break;
  }
  server.close_async([&io]() noexcept { io.stop(); },
                     [&io](const std::exception_ptr&) noexcept { io.stop(); });
  for (std::thread& thread : threads)
    thread.join();
  handler.endAll();
  return 0;
}

}  // namespace OmviAgentRunnerMain::mcp
