// CreateFileA and CloseHandle for serial ports.
//
// "COM1" is the device named by QUARNPROG_PORT, or the first serial port
// when that is unset; any other name is a path. The descriptor stays
// non-blocking for its whole life: the open never waits for carrier, so
// CLOCAL and the other modem-line settings stay as the port had them, and
// every wait of ReadFile and WriteFile is a poll() with its own time-out.
//
// A Windows program finds COM1 raw and without software flow control,
// whereas a Linux terminal starts cooked and with IXON. A terminal is
// therefore made raw and its XON/XOFF switched off once, here; from then on
// GetCommState reports the port as it is and SetCommState maps the record
// faithfully. Everything else (speed, framing, hardware handshake) is left
// to SetCommState.
//
// A path that is not a terminal: a directory fails here with EISDIR; a
// regular file opens, but every comm call and every read or write on it
// fails with ENOTTY, so no byte meant for a port ends up in a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/linux/port_lock.h"
#include "platform/linux/port_record.h"
#include "platform/linux/termios_map.h"

using quarnprog::platform::fail_with;
using quarnprog::platform::PortRecord;

namespace {

constexpr const char* kDefaultFirstPort = "/dev/ttyS0";

const char* device_path(const char* name) {
  if (std::strcmp(name, "COM1") != 0) return name;
  const char* chosen = std::getenv("QUARNPROG_PORT");
  return chosen != nullptr && chosen[0] != '\0' ? chosen : kDefaultFirstPort;
}

int open_flags(DWORD desired_access) {
  const bool reads = (desired_access & GENERIC_READ) != 0;
  const bool writes = (desired_access & GENERIC_WRITE) != 0;
  const int access = reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  return access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
}

// The state a Windows serial port has when it is opened: DTR and RTS up,
// no software flow control, nothing discarded, no abort on errors.
DCB fresh_shadow() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  return dcb;
}

int prepare_terminal(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return errno;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  quarnprog::platform::make_raw(tio);
  return tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : errno;
}

HANDLE fail_open(int fd, int error) {
  if (fd >= 0) close(fd);
  fail_with(error);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD creation_disposition,
                   DWORD /*flags_and_attributes: every call is synchronous*/,
                   HANDLE /*template_file*/) {
  if (file_name == nullptr) return fail_open(-1, EINVAL);
  // Ports exist or they do not: nothing is ever created.
  if (creation_disposition != OPEN_EXISTING) return fail_open(-1, EINVAL);

  const int fd = open(device_path(file_name), open_flags(desired_access));
  if (fd < 0) return fail_open(-1, errno);

  struct stat st {};
  if (fstat(fd, &st) != 0) return fail_open(fd, errno);
  if (S_ISDIR(st.st_mode)) return fail_open(fd, EISDIR);

  auto* rec = new (std::nothrow) PortRecord;
  if (rec == nullptr) return fail_open(fd, ENOMEM);
  rec->fd = fd;
  rec->is_terminal = isatty(fd) != 0;
  rec->shadow = fresh_shadow();

  int error = quarnprog::platform::claim_port(*rec, share_mode == 0);
  if (error == 0 && rec->is_terminal) error = prepare_terminal(fd);
  if (error != 0) {
    quarnprog::platform::release_port(*rec);
    delete rec;
    return fail_open(fd, error);
  }
  return rec;
}

BOOL CloseHandle(HANDLE handle) {
  PortRecord* rec = quarnprog::platform::record_of(handle);
  if (rec == nullptr) return 0;
  quarnprog::platform::release_port(*rec);
  const int result = close(rec->fd);
  const int error = errno;
  delete rec;
  // close() releases the descriptor even when it reports an error.
  return result == 0 ? 1 : fail_with(error);
}
