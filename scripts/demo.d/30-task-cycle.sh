# The isolated-task cycle: two agent tasks, each in its own worktree and branch, both
# delivered into main.
root='"workspace_root":'"$(json_string "$ws")"

say "two tasks, each given its own worktree inside .omvi/worktrees (asked again: reused)"
step '{"op":"git_worktree_add",'"$root"',"worktree_path":".omvi/worktrees/greeting","branch":"task-greeting"}'
step '{"op":"git_worktree_add",'"$root"',"worktree_path":".omvi/worktrees/docs","branch":"task-docs"}'
step '{"op":"git_worktree_add",'"$root"',"worktree_path":".omvi/worktrees/docs","branch":"task-docs"}'

say "each task works in its own worktree; the primary checkout does not see it"
step '{"op":"write_file",'"$root"',"path":".omvi/worktrees/greeting/greet.py","content":"def greet(name):\n    return f\"hello, {name}\"\n"}'
step '{"op":"write_file",'"$root"',"path":".omvi/worktrees/docs/USAGE.md","content":"# Usage\n\nCall greet(name).\n"}'
step '{"op":"shell",'"$root"',"command":"ls; git -C .omvi/worktrees/greeting status --short"}'

say "a worktree must live in the isolation area (exit status 1)"
step '{"op":"git_worktree_add",'"$root"',"worktree_path":"src/elsewhere","branch":"task-x"}' 1

say "deliver both into main: commit the leftovers, merge, remove the worktree"
step '{"op":"git_deliver",'"$root"',"worktree_path":".omvi/worktrees/greeting","branch":"task-greeting","prune":true}'
step '{"op":"git_deliver",'"$root"',"worktree_path":".omvi/worktrees/docs","branch":"task-docs","message":"Document greet","prune":true}'

say "the history of main"
graph='{"op":"shell",'"$root"',"command":"git log --graph --oneline --decorate main"}'
step "$graph"
printf '%sthe same graph, as git draws it:%s\n' "$dim" "$reset"
git -C "$ws" log --graph --oneline --decorate main
