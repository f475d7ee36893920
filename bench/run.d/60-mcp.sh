#!/usr/bin/env bash
# The MCP server beside the reference MCP filesystem server, both over stdio, driven by the
# same C++ client (bench/load_client.cc: one thread and epoll, cheap enough not to be what is
# measured): start to answered initialize; write_file and read_file of 4 KiB and
# list_directory of 10 000 entries with 16 calls in flight (throughput, p50); peak RSS under
# that load. Targets: initialize within 10 ms; at least 3x the reference's throughput with at
# most a third of its p50; at most a tenth of its peak RSS.
# Environment: OMVI_BUILD, OMVI_BENCH_DIR (set by bench/run); SECONDS_PER_RUN.
set -euo pipefail
build=${OMVI_BUILD:-build}
here=${OMVI_BENCH_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
seconds=${SECONDS_PER_RUN:-3}
client=$build/bench/omvi_load_client
peer_main=$here/node_modules/@modelcontextprotocol/server-filesystem/dist/index.js
if [[ ! -f $peer_main ]] && command -v npm >/dev/null; then
  (cd "$here" && npm install --no-audit --no-fund --silent) ||
    echo "the reference server could not be installed with npm; only omvi-agent-mcp is measured"
fi
# Reads and listings in the usual temporary directory; writes there too, and on a tmpfs, where
# the durable write (fsync before the rename, which the reference does not do) costs nothing
# and only the servers are compared.
work=$(mktemp -d "${TMPDIR:-/tmp}/omvi-mcp-bench-XXXXXX")
memory=
if [[ $(stat -f -c %T /dev/shm 2>/dev/null) == tmpfs ]]; then
  memory=$(mktemp -d /dev/shm/omvi-mcp-bench-XXXXXX)
fi
trap 'rm -rf "$work" ${memory:+"$memory"}' EXIT
for top in "$work" ${memory:+"$memory"}; do
  for server in omvi reference; do
    mkdir -p "$top/$server/many"
    head -c 4095 /dev/zero | tr '\0' x >"$top/$server/read.txt"
    echo >>"$top/$server/read.txt"
  done
done
for server in omvi reference; do
  (cd "$work/$server/many" && seq -f 'entry-%05g' 0 9999 | xargs touch)
done

# run OP TOP: both servers, one line each.
run() {
  local op=$1 top=$2
  "$client" calls --op "$op" --workdir "$top/omvi" --connections 16 --depth 1 \
    --seconds "$seconds" --peer "$top/omvi" "$build/omvi-agent-mcp" --root |
    sed 's/^peer  /omvi-agent-mcp    /'
  if [[ -f $peer_main ]]; then
    "$client" calls --op "$op" --workdir "$top/reference" --connections 16 --depth 1 \
      --seconds "$seconds" --read-tool read_text_file --peer "$top/reference" node "$peer_main" |
      sed 's/^peer  /server-filesystem /'
  fi
}

echo "16 calls in flight, $seconds s per load; work directory $work"
echo "-- write, on disk"
run write "$work"
if [[ -n $memory ]]; then
  echo "-- write, on tmpfs ($memory)"
  run write "$memory"
fi
echo "-- read"
run read "$work"
echo "-- list (10 000 entries)"
run list "$work"
