# The command line and the process runner, against the programs they stand beside.
set -euo pipefail
runner=$OMVI_RUNNER
peak=$OMVI_BUILD/bench/peak_rss
work=$(mktemp -d "${TMPDIR:-/tmp}/omvi-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== in-process costs (Google Benchmark)"
"$OMVI_BUILD/bench/runner_bench" --benchmark_min_time=0.2

echo
echo "== --ping against /bin/true (target: at most 2x)"
hyperfine -N --warmup 50 --runs 1000 "$runner --ping" /bin/true

echo
echo "== shell running true against zsh -c true (target: at most 1 ms added, median)"
hyperfine -N --warmup 20 --runs 300 \
  "$runner --json '{\"op\":\"shell\",\"command\":\"true\"}'" "zsh -c true"

echo
echo "== what the sandbox adds to a shell of true (target: at most 0.5 ms added, median)"
echo "   paired runs, plain and confined in turn: /bin/true and zsh within one process (as the"
echo "   service and the MCP server run them), then the whole command line, start included"
if "$runner" --sandbox-status >/dev/null; then
  "$OMVI_BUILD/bench/sandbox_bench" "$runner"
else
  echo "skipped: this kernel cannot enforce the sandbox"
fi

echo
echo "== a 100 MB output flood through shell (target: peak RSS at most 64 MB)"
read -r kib ms < <("$peak" "$runner" --json '{"op":"shell","command":"yes | head -c 100000000","timeout":60}')
printf 'peak RSS %d KiB (%.1f MB), %d ms\n' "$kib" "$(echo "$kib/1024" | bc -l)" "$ms"

echo
echo "== a 50 MiB write_file, request on standard input (targets: >= 300 MB/s, peak RSS <= 3x)"
size=$((50 * 1024 * 1024))
mkdir -p "$work/ws"
{
  printf '{"op":"write_file","workspace_root":"%s","path":"big.txt","content":"' "$work/ws"
  head -c "$size" /dev/zero | tr '\0' 'a'
  printf '"}'
} > "$work/request.json"
best=0
for _ in 1 2 3 4 5; do
  read -r kib ms < <("$peak" "$runner" < "$work/request.json")
  [[ $best == 0 || $ms -lt $best ]] && best=$ms
  peak_kib=$kib
done
printf 'best of 5: %d ms = %.0f MB/s end to end; peak RSS %d KiB = %.2fx the content\n' \
  "$best" "$(echo "$size / 1000000 / ($best / 1000)" | bc -l)" "$peak_kib" \
  "$(echo "$peak_kib * 1024 / $size" | bc -l)"
hyperfine -N --warmup 1 --runs 5 --input "$work/request.json" "$runner" 2>/dev/null ||
  hyperfine --warmup 1 --runs 5 "$runner < $work/request.json"
