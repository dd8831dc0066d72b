// The pseudo-terminal the virtual board sits behind.
#pragma once

#include <string>

namespace quarnsim {

struct Pty {
  int master = -1;
  int slave = -1;  // kept open by us, so the host closing its side hangs nothing up
  std::string path;
};

// Opens a pseudo-terminal, makes its slave raw 9600 8N1 without flow control
// and the controlling terminal of our (new) session, so that a program
// opening the port does not take it as its own controlling terminal. The
// caller must already be a session leader. Returns false with `error` set.
bool open_pty(Pty& pty, std::string& error);

// The host's line speed in baud as the slave's settings show it (0 if
// unknown).
unsigned host_speed(const Pty& pty);

}  // namespace quarnsim
