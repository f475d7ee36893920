#!/usr/bin/env bash
# The MCP server beside the reference MCP filesystem server, both over stdio, in one run:
# start to answered initialize; write_file and read_file of 4 KiB and list_directory of 10 000
# entries with 16 calls in flight (throughput, p50); peak RSS under that load.
# Environment: OMVI_BUILD, OMVI_BENCH_DIR (set by bench/run); SECONDS_PER_RUN.
set -euo pipefail
build=${OMVI_BUILD:-build}
here=${OMVI_BENCH_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
command -v node >/dev/null || { echo "node is not installed: MCP benchmark skipped"; exit 0; }
peer_main=$here/node_modules/@modelcontextprotocol/server-filesystem/dist/index.js
if [[ ! -f $peer_main ]]; then
  (cd "$here" && npm install --no-audit --no-fund --silent) ||
    echo "the peer server could not be installed with npm; only omvi-agent-mcp is measured"
fi
[[ -f $peer_main ]] || peer_main=
node "$here/mcp_bench.mjs" "$build/omvi-agent-mcp" "$peer_main" "${SECONDS_PER_RUN:-3}"
