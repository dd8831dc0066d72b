// Translation between the Win32 device-control record (DCB) and termios:
// line speed, character framing, parity checking and flow control. Fields
// that termios cannot hold are left to the caller's copy of the record.
#pragma once

#include <termios.h>

#include "platform/win32_comm.h"

namespace quarnprog::platform {

// Turns off every input, output and local processing step, so that each
// byte passes unchanged in both directions. Framing and flow control are
// left alone.
void make_raw(termios& tio);

// Overwrites the DCB fields that termios holds; leaves the others as given.
void dcb_from_termios(const termios& tio, DCB& dcb);

// Writes the DCB's termios-backed settings into `tio` and makes it raw.
// Returns 0, or EINVAL (with `tio` untouched) for a speed without a termios
// constant, a byte size outside 5..8, an unknown parity or a stop-bit
// setting other than one or two.
int termios_from_dcb(const DCB& dcb, termios& tio);

// True when the driver kept the speed and framing that were asked for;
// some drivers quietly drop what their hardware cannot do.
bool framing_kept(const termios& wanted, const termios& got);

}  // namespace quarnprog::platform
