// Failure bookkeeping shared by every call of this layer. The reason codes
// are plain errno values (ENOENT 2, EBUSY 16, ENOTTY 25, ...), except for a
// read cut short by a signal, which the read reports as
// ERROR_OPERATION_ABORTED, the code a Windows program expects there.
#include <cerrno>
#include <cstdint>

#include "platform/linux/port_record.h"

namespace quarnprog::platform {

namespace {
thread_local DWORD last_error = 0;
}  // namespace

BOOL fail_with(int error) {
  last_error = static_cast<DWORD>(error);
  return 0;
}

PortRecord* record_of(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    fail_with(EBADF);
    return nullptr;
  }
  return static_cast<PortRecord*>(handle);
}

}  // namespace quarnprog::platform

DWORD GetLastError() {
  return quarnprog::platform::last_error;
}
