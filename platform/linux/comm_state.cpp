// GetCommState and SetCommState over termios. The port's own termios is the
// truth for speed, framing and flow control; the record's shadow DCB keeps
// the fields that termios has no place for.
#include <termios.h>

#include <cerrno>

#include "platform/linux/port_record.h"
#include "platform/linux/termios_map.h"

using quarnprog::platform::fail_with;
using quarnprog::platform::PortRecord;
using quarnprog::platform::record_of;

namespace {

int set_termios(int fd, int when, const termios& tio) {
  while (tcsetattr(fd, when, &tio) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

}  // namespace

BOOL GetCommState(HANDLE port, LPDCB dcb) {
  PortRecord* rec = record_of(port);
  if (rec == nullptr) return 0;
  if (dcb == nullptr) return fail_with(EINVAL);

  termios tio{};
  if (tcgetattr(rec->fd, &tio) != 0) return fail_with(errno);  // ENOTTY for a plain file
  DCB result = rec->shadow;
  quarnprog::platform::dcb_from_termios(tio, result);
  *dcb = result;
  return 1;
}

BOOL SetCommState(HANDLE port, LPDCB dcb) {
  PortRecord* rec = record_of(port);
  if (rec == nullptr) return 0;
  if (dcb == nullptr) return fail_with(EINVAL);

  termios before{};
  if (tcgetattr(rec->fd, &before) != 0) return fail_with(errno);
  termios wanted = before;
  if (int error = quarnprog::platform::termios_from_dcb(*dcb, wanted); error != 0) {
    return fail_with(error);
  }

  // TCSADRAIN: bytes already queued for output still leave at the old speed.
  if (int error = set_termios(rec->fd, TCSADRAIN, wanted); error != 0) return fail_with(error);

  // tcsetattr succeeds when any part of the change was taken, so look at
  // what the driver really kept; a refused speed or framing puts the port
  // back as it was.
  termios now{};
  if (tcgetattr(rec->fd, &now) != 0) return fail_with(errno);
  if (!quarnprog::platform::framing_kept(wanted, now)) {
    set_termios(rec->fd, TCSANOW, before);
    return fail_with(EINVAL);
  }

  rec->shadow = *dcb;
  rec->shadow.DCBlength = sizeof(DCB);
  rec->shadow.fBinary = 1;
  return 1;
}
