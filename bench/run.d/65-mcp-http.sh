#!/usr/bin/env bash
# The MCP server over Streamable HTTP beside the same server over stdio: ping and 4 KiB
# write_file with 16 calls in flight (16 connections over HTTP); throughput, p50, peak RSS.
# First both transports driven by the same Node client (side by side: the client is the same,
# so is its cost), then HTTP alone driven by wrk, a client fast enough not to be what is
# measured (targets: at least 20 000 ping/s, peak RSS at most 32 MiB).
# Environment: OMVI_BUILD, OMVI_BENCH_DIR (set by bench/run); SECONDS_PER_RUN.
set -euo pipefail
build=${OMVI_BUILD:-build}
here=${OMVI_BENCH_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
seconds=${SECONDS_PER_RUN:-3}
if command -v node >/dev/null; then
  node "$here/mcp_http_bench.mjs" "$build/omvi-agent-mcp" "$seconds"
else
  echo "node is not installed: the side-by-side MCP benchmark is skipped"
fi

echo
echo "== over HTTP with wrk: 16 connections"
command -v wrk >/dev/null || { echo "wrk is not installed: skipped"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/omvi-mcp-wrk-XXXXXX")
"$build/omvi-agent-mcp" --root "$work" --http 127.0.0.1:0 2>"$work.log" &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -rf "$work" "$work.log"' EXIT
for _ in $(seq 100); do grep -q 'listening on' "$work.log" && break; sleep 0.05; done
url=$(grep -o 'http://[^ ]*' "$work.log")
session=$(curl -sS -D - -o /dev/null "$url" -H 'Content-Type: application/json' \
  -H 'Accept: application/json, text/event-stream' \
  -d '{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"wrk","version":"1"}}}' |
  tr -d '\r' | awk 'tolower($1) == "mcp-session-id:" { print $2 }')
curl -sS -o /dev/null "$url" -H 'Content-Type: application/json' \
  -H 'Accept: application/json, text/event-stream' -H "Mcp-Session-Id: $session" \
  -H 'MCP-Protocol-Version: 2025-11-25' -d '{"jsonrpc":"2.0","method":"notifications/initialized"}'
for load in ping write; do
  OMVI_SESSION=$session LOAD=$load wrk -t1 -c16 -d"${seconds}s" -s "$here/mcp_http_load.lua" "$url" |
    tail -1
done
awk '/VmHWM/ { printf "peak RSS %.1f MiB\n", $2 / 1024 }' "/proc/$server/status"
