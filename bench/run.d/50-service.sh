#!/usr/bin/env bash
# The socket service under load, side by side with the peer users pick today for file tools
# (the MCP reference filesystem server, one process over stdio), from the same C++ load
# client with the same calls in flight: ping and 4 KiB write_file at 1, 4 and 16 connections
# with 4 calls in flight on each (the peer gets the same total in flight on its one stream);
# writes again on a disk directory next to a plain durable-write loop; 32 `sleep 1` calls
# with a stream of pings; the service's peak RSS over all of it. Then three memory attacks,
# each on a fresh service while another client pings every 10 ms: (a) 64 `sleep 15` calls
# and 200 calls of 5 MB on one connection, (b) 30 connections each sending 60 MiB with no line
# feed, (c) 3000 shell calls of the most output on a connection that never reads; 8 s each,
# then the attackers leave. Targets: peak RSS (VmHWM) at most 512 MiB, ping max under 50 ms,
# RSS under 64 MiB 5 s after the attackers leave. A run with no attacker comes first: what
# the machine itself allows the pings. On a virtual machine a processor can stop for 100 ms
# and more while the host runs something else, so the client also keeps a thread on each
# processor that reports wake-ups more than 20 ms late (machine_stalls, stall_max_ms), and
# gives the slowest ping that overlaps none of them apart (ping_max_outside_stalls_ms).
# Environment: OMVI_BUILD, OMVI_RUNNER, OMVI_BENCH_DIR (set by bench/run); SECONDS_PER_RUN.
set -euo pipefail
build=${OMVI_BUILD:-build}
runner=${OMVI_RUNNER:-$build/omvi-agent-runner}
here=${OMVI_BENCH_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
client=$build/bench/omvi_load_client
seconds=${SECONDS_PER_RUN:-3}
depth=4

[[ -x $client ]] || { echo "missing $client (build the bench targets)"; exit 1; }
peer_main=$here/node_modules/@modelcontextprotocol/server-filesystem/dist/index.js
if [[ ! -f $peer_main ]]; then
  (cd "$here" && npm install --no-audit --no-fund --silent) ||
    echo "the peer server could not be installed with npm; its columns stay empty"
fi

fast_parent=/dev/shm
[[ $(stat -f -c %T "$fast_parent" 2>/dev/null) == tmpfs ]] || fast_parent=${XDG_RUNTIME_DIR:-/tmp}
fast=$(mktemp -d "$fast_parent/omvi-bench.XXXXXX")
disk=$(mktemp -d /var/tmp/omvi-bench.XXXXXX)
service_pid=
cleanup() {
  [[ -n $service_pid ]] && kill -TERM "$service_pid" 2>/dev/null && wait "$service_pid" || true
  rm -rf "$fast" "$disk"
}
trap cleanup EXIT
mkdir -p "$fast/runner" "$fast/peer" "$disk/runner" "$disk/loop"

socket=$fast/runner.sock
"$runner" --xpc-service --socket "$socket" &
service_pid=$!
for _ in $(seq 200); do [[ -S $socket ]] && break; sleep 0.05; done
[[ -S $socket ]] || { echo "the service did not start"; exit 1; }

echo "work directories: $fast ($(stat -f -c %T "$fast")), $disk ($(stat -f -c %T "$disk"))"
echo "calls in flight: $depth per connection; the peer: one process, the same total in flight"
for op in ping write; do
  for conns in 1 4 16; do
    "$client" calls --socket "$socket" --op $op --workdir "$fast/runner" \
      --connections $conns --depth $depth --seconds "$seconds"
    [[ -f $peer_main ]] &&
      "$client" calls --op $op --workdir "$fast/peer" --connections $conns --depth $depth \
        --seconds "$seconds" --peer "$fast/peer" node "$peer_main"
  done
done

# The disk's speed drifts from minute to minute on shared machines, so the plain loop runs
# right before each run of the service.
echo "durable 4 KiB writes on disk ($disk): the plain loop, then the service"
for conns in 1 4 16; do
  "$client" fsync-loop --workdir "$disk/loop" --seconds "$seconds"
  "$client" calls --socket "$socket" --op write --workdir "$disk/runner" \
    --connections $conns --depth $depth --seconds "$seconds"
done

"$client" sleepers --socket "$socket" --sleepers 32 --depth 1

echo "runner peak_rss_mb=$(awk '/VmHWM/ {printf "%.1f", $2 / 1024}' /proc/$service_pid/status)" \
  "threads=$(awk '/Threads/ {print $2}' /proc/$service_pid/status)"

# The attacks: a fresh service each, so that its VmHWM is the attack's own.
echo "memory attacks, $(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg)"
for kind in none a b c; do
  attack_socket=$fast/attack-$kind.sock
  "$runner" --xpc-service --socket "$attack_socket" &
  attack_pid=$!
  for _ in $(seq 200); do [[ -S $attack_socket ]] && break; sleep 0.05; done
  "$client" attack --socket "$attack_socket" --kind $kind --pid $attack_pid --seconds 8 \
    --workdir "$fast/runner" || true
  kill -TERM $attack_pid
  wait $attack_pid || echo "the service under attack $kind ended with status $?"
done
