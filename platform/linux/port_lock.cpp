#include "platform/linux/port_lock.h"

#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

namespace quarnprog::platform {

namespace {

// Every port that is open. The program never closes its port, so at a
// normal exit the ports still in exclusive mode are handed back here: a
// pseudo-terminal keeps that mode for as long as its master side is open,
// even after every slave descriptor is gone, and a second run against the
// same pseudo-terminal would find it held by a program that has ended. The
// list also keeps the records of such ports reachable until the end.
std::mutex open_ports_mutex;
std::set<PortRecord*>& open_ports() {
  static auto* ports = new std::set<PortRecord*>;  // outlives every static destructor
  return *ports;
}

void release_all_at_exit() {
  std::lock_guard<std::mutex> lock(open_ports_mutex);
  for (PortRecord* rec : open_ports()) {
    if (rec->exclusive_mode) ioctl(rec->fd, TIOCNXCL);
  }
}

void remember(PortRecord* rec) {
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(release_all_at_exit); });
  std::lock_guard<std::mutex> lock(open_ports_mutex);
  open_ports().insert(rec);
}

void forget(PortRecord* rec) {
  std::lock_guard<std::mutex> lock(open_ports_mutex);
  open_ports().erase(rec);
}

bool held_exclusively_by_another(int fd) {
  int exclusive = 0;
  // Privileged openers pass the kernel's exclusive-mode check, so look for
  // ourselves. Kernels without TIOCGEXCL leave the check to the kernel.
  return ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

}  // namespace

int claim_port(PortRecord& rec, bool exclusive) {
  if (exclusive && flock(rec.fd, LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? EBUSY : errno;
  }
  if (rec.is_terminal) {
    if (held_exclusively_by_another(rec.fd)) return EBUSY;
    if (exclusive && ioctl(rec.fd, TIOCEXCL) == 0) rec.exclusive_mode = true;
  }
  remember(&rec);
  return 0;
}

void release_port(PortRecord& rec) {
  forget(&rec);
  if (rec.exclusive_mode) ioctl(rec.fd, TIOCNXCL);
  rec.exclusive_mode = false;
}

}  // namespace quarnprog::platform
