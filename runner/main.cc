// The executable's entry: hands the arguments to the program's own `main`.
#include <signal.h>

#include <string>
#include <vector>

#include "runner/entry.h"

int main(int argc, char** argv) {
  // A closed standard output must not end the runner before it has reaped its children;
  // children get the default disposition back when they are started.
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv, argv + argc);
  return OmviAgentRunnerMain::main(arguments);
}
