// GetCommTimeouts and SetCommTimeouts: the time-outs live in the port's
// record and govern every later ReadFile and WriteFile on it.
#include <cerrno>

#include "platform/linux/port_record.h"

using quarnprog::platform::fail_with;
using quarnprog::platform::PortRecord;
using quarnprog::platform::record_of;

BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
  PortRecord* rec = record_of(port);
  if (rec == nullptr) return 0;
  if (timeouts == nullptr) return fail_with(EINVAL);
  if (!rec->is_terminal) return fail_with(ENOTTY);
  *timeouts = rec->timeouts;
  return 1;
}

BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
  PortRecord* rec = record_of(port);
  if (rec == nullptr) return 0;
  if (timeouts == nullptr) return fail_with(EINVAL);
  if (!rec->is_terminal) return fail_with(ENOTTY);
  rec->timeouts = *timeouts;
  return 1;
}
