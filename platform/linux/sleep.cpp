// Sleep: a pause of whole milliseconds that a signal does not cut short.
#include <cerrno>
#include <ctime>

#include "platform/linux/console.h"
#include "platform/win32_comm.h"

void Sleep(DWORD milliseconds) {
  quarnprog::platform::flush_console();
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
