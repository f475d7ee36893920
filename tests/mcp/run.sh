#!/usr/bin/env bash
# Runs the MCP client checks under ctest; exit 77 (a skip) when node or the SDK is missing.
# Usage: tests/mcp/run.sh path/to/omvi-agent-mcp path/to/tests/data
set -u
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v node >/dev/null; then
  echo "SKIP: node is not installed (make deps)"
  exit 77
fi
if [[ ! -d $here/node_modules/@modelcontextprotocol/sdk ]]; then
  echo "SKIP: the MCP SDK is not installed in $here/node_modules (make deps)"
  exit 77
fi
exec node "$here/sdk_client_test.mjs" "$@"
