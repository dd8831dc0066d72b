#include "pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace e2e {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  slave_path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  if (slave_ < 0 || tcgetattr(slave_, &tio) != 0)
    throw std::runtime_error("no slave " + slave_path_);
  cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(slave_, TCSANOW, &tio) != 0) throw std::runtime_error("tcsetattr " + slave_path_);
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

std::string PtyPair::take_pending() const {
  std::string bytes;
  char chunk[4096];
  for (ssize_t got; (got = read(master_, chunk, sizeof chunk)) > 0;) {
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  return bytes;
}

}  // namespace e2e
