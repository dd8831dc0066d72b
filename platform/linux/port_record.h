// The record behind every HANDLE that CreateFileA gives out, and the helpers
// the other calls of this layer share: turning a HANDLE back into its record
// and remembering the reason of a failure for GetLastError.
#pragma once

#include "platform/win32_comm.h"

namespace quarnprog::platform {

struct PortRecord {
  int fd = -1;
  bool is_terminal = false;
  // Set when this open put the terminal into exclusive mode (TIOCEXCL), so
  // that closing it hands the port back to other openers.
  bool exclusive_mode = false;
  COMMTIMEOUTS timeouts{};
  // The device-control record as last set. termios has no place for some of
  // its fields (fNull, fAbortOnError, DTR/RTS modes, limits and characters);
  // they live here so that GetCommState gives back what SetCommState took.
  DCB shadow{};
};

// The record of an open port, or nullptr (with EBADF recorded) for a handle
// that CreateFileA never gave out as valid.
PortRecord* record_of(HANDLE handle);

// Records errno-style `error` as the reason of the calling thread's latest
// failure and returns FALSE, so that a failing call can end in one line.
BOOL fail_with(int error);

}  // namespace quarnprog::platform
