#include "sim/quarnsim_pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace quarnsim {

namespace {

bool fail(std::string& error, const char* what) {
  error = std::string(what) + ": " + std::strerror(errno);
  return false;
}

}  // namespace

bool open_pty(Pty& pty, std::string& error) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.master < 0) return fail(error, "posix_openpt");
  if (grantpt(pty.master) != 0) return fail(error, "grantpt");
  if (unlockpt(pty.master) != 0) return fail(error, "unlockpt");
  const char* name = ptsname(pty.master);
  if (name == nullptr) return fail(error, "ptsname");
  pty.path = name;
  // Written bytes must never block the loop: a host that does not read
  // leaves them with us until it does.
  const int flags = fcntl(pty.master, F_GETFL);
  if (flags < 0 || fcntl(pty.master, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(error, "fcntl");
  }

  pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty.slave < 0) return fail(error, "open slave");
  termios tio{};
  if (tcgetattr(pty.slave, &tio) != 0) return fail(error, "tcgetattr");
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(pty.slave, TCSANOW, &tio) != 0) return fail(error, "tcsetattr");
  if (ioctl(pty.slave, TIOCSCTTY, 0) != 0) return fail(error, "TIOCSCTTY");
  return true;
}

unsigned host_speed(const Pty& pty) {
  termios tio{};
  if (tcgetattr(pty.slave, &tio) != 0) return 0;
  switch (cfgetospeed(&tio)) {
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    case B230400:
      return 230400;
    default:
      return 0;
  }
}

}  // namespace quarnsim
