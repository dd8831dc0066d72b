// The console before a wait. Where standard output is not a terminal (a log
// file, a pipe), the program lets it buffer what it prints, so that a
// flowing transfer does not pay one system call per progress mark or echoed
// byte. Every wait of this layer (for the line, for room to write, a pause)
// first brings the console up to date, so that a run that stalls still
// shows everything it printed before the stall. On a terminal the program
// prints unbuffered, and this costs nothing.
#pragma once

#include <cstdio>

namespace quarnprog::platform {

inline void flush_console() {
  std::fflush(stdout);
}

}  // namespace quarnprog::platform
