// ReadFile on a port, with the Win32 meaning of COMMTIMEOUTS:
//  - all fields 0: wait until every requested byte is there;
//  - ReadIntervalTimeout MAXDWORD, both totals 0: return at once with
//    whatever is queued, possibly nothing;
//  - ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD with a
//    constant between them: return as soon as a byte is there, or after
//    the constant with nothing;
//  - otherwise the read ends when all bytes are there, when
//    multiplier * n + constant ms have passed (if that is not 0), or when
//    the gap after a received byte exceeds ReadIntervalTimeout (if set).
// A time-out is a success with the bytes that did arrive.
//
// Failures: a signal that interrupts the wait fails the read with
// ERROR_OPERATION_ABORTED (995) and the count of bytes already stored, 0
// for a one-byte read. A port whose far side has gone (hang-up, or EIO on a
// pseudo-terminal whose master closed) fails with EIO, but only once the
// read's own time-out has passed, so that a caller that loops over failed
// reads paces itself exactly as over empty ones. Without any time-out it
// fails at once, since waiting forever would help nobody.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/linux/console.h"
#include "platform/linux/deadline.h"
#include "platform/linux/port_record.h"

using quarnprog::platform::Deadline;
using quarnprog::platform::fail_with;
using quarnprog::platform::PortRecord;

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

struct ReadPlan {
  bool return_at_once = false;
  bool first_byte_ends = false;
  Deadline total = Deadline::never();
  DWORD interval_ms = 0;  // 0: no interval time-out
};

ReadPlan plan_for(const COMMTIMEOUTS& t, DWORD n) {
  ReadPlan plan;
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
      t.ReadTotalTimeoutConstant == 0) {
    plan.return_at_once = true;
    return plan;
  }
  if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
      t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
    plan.first_byte_ends = true;
    plan.total = Deadline::after_ms(t.ReadTotalTimeoutConstant);
    return plan;
  }
  const std::uint64_t total_ms =
      std::uint64_t{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
  if (total_ms != 0) plan.total = Deadline::after_ms(total_ms);
  if (t.ReadIntervalTimeout != kMaxDword) plan.interval_ms = t.ReadIntervalTimeout;
  return plan;
}

// A port with fNull set drops received NUL bytes, as a Windows port does.
std::size_t drop_nuls(unsigned char* bytes, std::size_t count) {
  return static_cast<std::size_t>(std::remove(bytes, bytes + count, 0) - bytes);
}

// Sits out the rest of the read's time-out, whatever signals arrive.
void wait_until(const Deadline& deadline) {
  quarnprog::platform::flush_console();
  while (!deadline.passed()) poll(nullptr, 0, deadline.poll_timeout());
}

}  // namespace

BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped) {
  DWORD got = 0;
  if (bytes_read != nullptr) *bytes_read = 0;
  PortRecord* rec = quarnprog::platform::record_of(port);
  if (rec == nullptr) return 0;
  if (overlapped != nullptr || (buffer == nullptr && bytes_to_read != 0)) return fail_with(EINVAL);
  if (!rec->is_terminal) return fail_with(ENOTTY);

  auto* dst = static_cast<unsigned char*>(buffer);
  const ReadPlan plan = plan_for(rec->timeouts, bytes_to_read);
  Deadline gap = Deadline::never();
  int failure = 0;
  bool far_side_gone = false;

  // Wait first, read second: a read that starts right after a write (an
  // answer awaited) nearly never finds its byte there yet, and a read() that
  // only says EAGAIN would be one system call more on every exchange.
  bool readable = plan.return_at_once;
  while (got < bytes_to_read) {
    if (!readable) {
      const Deadline until = plan.total.earlier(gap);
      if (until.passed()) break;
      quarnprog::platform::flush_console();
      pollfd pfd{rec->fd, POLLIN, 0};
      const int ready = poll(&pfd, 1, until.poll_timeout());
      if (ready < 0) {
        failure = errno == EINTR ? static_cast<int>(ERROR_OPERATION_ABORTED) : errno;
        break;
      }
      if (ready == 0) break;  // the time-out, rounded up to whole milliseconds, has passed
      if ((pfd.revents & POLLNVAL) != 0) {
        failure = EBADF;
        break;
      }
      if ((pfd.revents & POLLIN) == 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0) {
        far_side_gone = true;
        break;
      }
    }
    const ssize_t r = read(rec->fd, dst + got, bytes_to_read - got);
    if (r > 0) {
      std::size_t kept = static_cast<std::size_t>(r);
      if (rec->shadow.fNull != 0) kept = drop_nuls(dst + got, kept);
      got += static_cast<DWORD>(kept);
      if (plan.first_byte_ends && got > 0) break;
      if (plan.interval_ms != 0) gap = Deadline::after_ms(plan.interval_ms);
      readable = true;  // more may be queued behind it
      continue;
    }
    if (r == 0 || errno == EIO) {  // a hung-up terminal reads as end of file
      far_side_gone = true;
      break;
    }
    if (errno == EINTR) {
      failure = ERROR_OPERATION_ABORTED;
      break;
    }
    if (errno != EAGAIN) {
      failure = errno;
      break;
    }
    if (plan.return_at_once) break;
    readable = false;
  }

  if (far_side_gone && got == 0) {
    if (!plan.total.is_never()) wait_until(plan.total);
    failure = EIO;
  }
  if (bytes_read != nullptr) *bytes_read = got;
  return failure == 0 ? 1 : fail_with(failure);
}
