# Sourced by scripts/demo: the same workspace through omvi-agent-mcp, a short MCP session over
# stdio (one JSON-RPC message per line), as an agent host would hold it.
mcp_binary=$(dirname "$runner")/omvi-agent-mcp
[[ -x $mcp_binary ]] || { printf 'demo: %s is missing\n' "$mcp_binary" >&2; exit 1; }

say "the same workspace as an MCP server: omvi-agent-mcp --root $ws"
coproc MCP { "$mcp_binary" --root "$ws"; }
mcp_id=0

# mcp METHOD PARAMS [SHOW]: sends one request, prints it and its reply (the first SHOW bytes
# of it, 400 by default), and fails the demo on an error reply or a tool result with isError.
mcp() {
  local request reply
  mcp_id=$((mcp_id + 1))
  request='{"jsonrpc":"2.0","id":'$mcp_id',"method":"'$1'","params":'$2'}'
  printf '%s> %s%s\n' "$dim" "$request" "$reset"
  printf '%s\n' "$request" >&"${MCP[1]}"
  IFS= read -r -t 30 reply <&"${MCP[0]}" || { echo "demo: no MCP reply" >&2; exit 1; }
  local show=${3:-400}
  if ((${#reply} > show)); then printf '< %s ...\n' "${reply:0:show}"; else printf '< %s\n' "$reply"; fi
  if [[ $reply == *'"error":{"code"'* || $reply == *'"isError":true}}' ]]; then
    echo "demo: the MCP call failed" >&2
    exit 1
  fi
  mcp_reply=$reply
}

mcp initialize '{"protocolVersion":"2025-11-25","capabilities":{},"clientInfo":{"name":"demo","version":"1"}}' 200
printf '{"jsonrpc":"2.0","method":"notifications/initialized"}\n' >&"${MCP[1]}"
mcp tools/list '{}' 120
printf '%stools: %s%s\n' "$dim" "$(grep -o '{"name":"[a-z_]*"' <<<"$mcp_reply" | cut -d'"' -f4 | tr '\n' ' ')" "$reset"
mcp tools/call '{"name":"grep","arguments":{"pattern":"hello"}}'
mcp tools/call '{"name":"edit_file","arguments":{"path":"greet.py","edits":[{"old_text":"hello","new_text":"hi"}],"dry_run":true}}' 600
mcp tools/call '{"name":"git_status","arguments":{}}'
exec {MCP[1]}>&-
wait "$MCP_PID"
