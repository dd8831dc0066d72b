#include <cstdio>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "driver/quarnprog.h"

int main(int argc, char** argv) {
  // On a terminal every echoed byte and progress mark shows at once. Into a
  // log or a pipe the output is buffered, and the Linux platform layer
  // flushes it before every wait, so that a stalled run still shows where it
  // stalled while a flowing feed does not pay a system call per mark.
#ifdef _WIN32
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#else
  std::setvbuf(stdout, nullptr, isatty(STDOUT_FILENO) ? _IONBF : _IOFBF, BUFSIZ);
#endif
  return quarnprog_main(argc, argv);
}
