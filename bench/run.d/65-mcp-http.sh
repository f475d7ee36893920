#!/usr/bin/env bash
# The MCP server over Streamable HTTP beside the same server over stdio: ping and 4 KiB
# write_file with 16 calls in flight (16 connections over HTTP); throughput, p50, peak RSS.
# Environment: OMVI_BUILD, OMVI_BENCH_DIR (set by bench/run); SECONDS_PER_RUN.
set -euo pipefail
build=${OMVI_BUILD:-build}
here=${OMVI_BENCH_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
command -v node >/dev/null || { echo "node is not installed: MCP HTTP benchmark skipped"; exit 0; }
node "$here/mcp_http_bench.mjs" "$build/omvi-agent-mcp" "${SECONDS_PER_RUN:-3}"
