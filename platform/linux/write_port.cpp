// WriteFile on a port. It returns once every byte has been handed to the
// driver, not when the bytes have left the line. While the output queue is
// full it waits, for at most WriteTotalTimeoutMultiplier * n +
// WriteTotalTimeoutConstant ms when that is not 0; a write that runs out of
// time succeeds with the count that went out, as on Windows. An error fails
// the call with errno and the count written so far.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/linux/console.h"
#include "platform/linux/deadline.h"
#include "platform/linux/port_record.h"

using quarnprog::platform::Deadline;
using quarnprog::platform::fail_with;
using quarnprog::platform::PortRecord;

BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped) {
  DWORD done = 0;
  if (bytes_written != nullptr) *bytes_written = 0;
  PortRecord* rec = quarnprog::platform::record_of(port);
  if (rec == nullptr) return 0;
  if (overlapped != nullptr || (buffer == nullptr && bytes_to_write != 0)) {
    return fail_with(EINVAL);
  }
  if (!rec->is_terminal) return fail_with(ENOTTY);

  const COMMTIMEOUTS& t = rec->timeouts;
  const std::uint64_t total_ms =
      std::uint64_t{t.WriteTotalTimeoutMultiplier} * bytes_to_write + t.WriteTotalTimeoutConstant;
  const Deadline deadline = total_ms != 0 ? Deadline::after_ms(total_ms) : Deadline::never();
  const auto* src = static_cast<const unsigned char*>(buffer);
  int failure = 0;

  while (done < bytes_to_write) {
    const ssize_t w = write(rec->fd, src + done, bytes_to_write - done);
    if (w > 0) {
      done += static_cast<DWORD>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
      failure = errno;  // EIO once the far side has gone
      break;
    }
    if (deadline.passed()) break;
    quarnprog::platform::flush_console();
    pollfd pfd{rec->fd, POLLOUT, 0};
    if (poll(&pfd, 1, deadline.poll_timeout()) < 0 && errno != EINTR) {
      failure = errno;
      break;
    }
    // Whatever poll reports (room, hang-up, error), the next write tells.
  }

  if (bytes_written != nullptr) *bytes_written = done;
  return failure == 0 ? 1 : fail_with(failure);
}
