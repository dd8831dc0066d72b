// Exclusive use of a port. A port opened without sharing is held two ways:
// an advisory flock(), which another quarnprog on the same device meets
// however privileged it is, and the terminal's exclusive mode (TIOCEXCL),
// which the kernel enforces on every other unprivileged opener.
#pragma once

#include "platform/linux/port_record.h"

namespace quarnprog::platform {

// Refuses a port that some other program holds in exclusive mode and, when
// `exclusive`, takes it for this record. Returns 0 or an errno value: EBUSY
// when the port is held by someone else. A claimed port that is never
// released leaves exclusive mode when the process exits normally.
int claim_port(PortRecord& rec, bool exclusive);

// Leaves exclusive mode again, before the record goes. The flock goes with
// the descriptor's close.
void release_port(PortRecord& rec);

}  // namespace quarnprog::platform
