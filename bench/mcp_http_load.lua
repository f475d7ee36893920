-- wrk's script for omvi-agent-mcp over HTTP: every connection posts JSON-RPC requests with
-- ids of its own, in the session named by OMVI_SESSION; LOAD is "ping" or "write" (a 4 KiB
-- write_file over 64 names). Replies that are not a 200 with a result are counted and reported.
local session = os.getenv("OMVI_SESSION")
local load = os.getenv("LOAD") or "ping"
local threads = {}
local content = string.rep("x", 4095) .. "\\n"

function setup(thread)
  thread:set("prefix", #threads)
  table.insert(threads, thread)
end

function init()
  n = 0
  failed = 0
  wrk.method = "POST"
  wrk.headers["Content-Type"] = "application/json"
  wrk.headers["Accept"] = "application/json, text/event-stream"
  wrk.headers["Mcp-Session-Id"] = session
  wrk.headers["MCP-Protocol-Version"] = "2025-11-25"
end

function request()
  n = n + 1
  local id = '"' .. prefix .. "-" .. n .. '"'
  local body
  if load == "write" then
    body = '{"jsonrpc":"2.0","id":' .. id .. ',"method":"tools/call","params":{"name":' ..
           '"write_file","arguments":{"path":"w' .. (n % 64) .. '.txt","content":"' ..
           content .. '"}}}'
  else
    body = '{"jsonrpc":"2.0","id":' .. id .. ',"method":"ping"}'
  end
  return wrk.format(nil, nil, nil, body)
end

function response(status, headers, body)
  if status ~= 200 or not body:find('"result"', 1, true) or body:find('"isError":true', 1, true) then
    failed = failed + 1
  end
end

function done(summary, latency, requests)
  local failures = 0
  for _, thread in ipairs(threads) do
    failures = failures + thread:get("failed")
  end
  io.write(string.format("%s: %.0f calls/s, p50 %.2f ms, p99 %.2f ms, %d failed\n", load,
                         summary.requests / (summary.duration / 1e6),
                         latency:percentile(50) / 1000, latency:percentile(99) / 1000, failures))
end
