# A whole edit cycle through the runner alone: edit, patch, stage, commit, inspect, branch,
# undo, publish.
root='"workspace_root":'"$(json_string "$ws")"

say "write a file, then patch another one with a unified diff (checked first, then applied)"
step '{"op":"write_file",'"$root"',"path":"src/greet.py","content":"def greet(name):\n    return f\"hello, {name}\"\n"}'
patch='--- a/src/hello.sh
+++ b/src/hello.sh
@@ -1 +1,2 @@
 echo "hello from the agent"
+echo "and a line added by a patch"
'
step '{"op":"apply_diff",'"$root"',"dry_run":true,"diff":'"$(json_string "$patch")"'}'
step '{"op":"apply_diff",'"$root"',"diff":'"$(json_string "$patch")"'}'

say "a patch that reaches outside the workspace is refused before git sees it (exit status 1)"
step '{"op":"apply_diff",'"$root"',"diff":"--- /dev/null\n+++ b/../escape.txt\n@@ -0,0 +1 @@\n+nope\n"}' 1

say "stage, commit, and look at the result"
step '{"op":"git_stage",'"$root"',"paths":["src/hello.sh","src/greet.py"]}'
step '{"op":"git_commit",'"$root"',"message":"Add a greeting helper"}'
step '{"op":"git_status",'"$root"'}'
step '{"op":"git_log",'"$root"',"count":5}'

say "an unstaged change, shown as a diff"
step '{"op":"write_file",'"$root"',"path":"README.md","content":"# demo project\n\nedited by the agent\n"}'
step '{"op":"git_diff",'"$root"',"path":"README.md"}'

say "branches: create one, list them, switch back"
step '{"op":"git_branch_create",'"$root"',"name":"feature/greeting"}'
step '{"op":"git_branch_list",'"$root"'}'
step '{"op":"git_branch_switch",'"$root"',"name":"main"}'

say "throw the README edit away again"
step '{"op":"git_restore",'"$root"',"paths":["README.md"]}'
step '{"op":"git_status",'"$root"'}'

say "publish to a bare repository standing in for the server; nothing is left unpublished"
git init -q --bare "$scratch/remote.git"
git -C "$ws" remote add origin "$scratch/remote.git"
step '{"op":"git_push",'"$root"',"set_upstream":true}'
step '{"op":"git_diff",'"$root"',"scope":"branch","base_branch":"origin/main"}'
