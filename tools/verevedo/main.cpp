// verevedo: the agent's helper for connectivity tests. The agent starts it with a command text split
// into words and shows what it writes to standard output and standard error.
#include <cstdio>

#include "commands.h"

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int status = verevedo::RunCommand(argc - 1, argv + 1, stdout);
  fflush(stdout);
  return status;
}
