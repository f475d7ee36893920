# Files and the shell: the first moves of any agent session.
say "health probe"
step '{"op":"ping"}'

say "write a file, make a directory, look around with the shell"
step '{"op":"write_file","workspace_root":"'"$ws"'","path":"src/hello.sh","content":"echo \"hello from the agent\"\n"}'
step '{"op":"mkdir","workspace_root":"'"$ws"'","path":"docs/notes"}'
step '{"op":"shell","workspace_root":"'"$ws"'","command":"git status --short && zsh src/hello.sh","timeout":10}'
step '{"op":"write_file","workspace_root":"'"$ws"'","path":"scratch.txt","content":"temporary"}'
step '{"op":"delete_file","workspace_root":"'"$ws"'","path":"scratch.txt"}'

say "the workspace is a fence: a path outside it is refused (exit status 1)"
step '{"op":"write_file","workspace_root":"'"$ws"'","path":"../escape.txt","content":"nope"}' 1
