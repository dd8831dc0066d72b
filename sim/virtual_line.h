// The virtual serial line of the unit tests: the Win32 comm calls of
// platform/win32_comm.h implemented over a virtual clock, so that a run's
// pauses and empty reads take no real time. The far end is a sim::Board, or
// bytes a test scripts, or both. Every write, configuration call and pause is
// recorded with its virtual time, and each platform call can be made to fail.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_comm.h"
#include "sim/board.h"

namespace sim {

constexpr Micros millis(std::uint64_t ms) {
  return ms * 1000;
}

struct RecordedWrite {
  Micros at;
  std::uint32_t baud;  // the host's speed when it wrote
  std::string bytes;
};

// A platform call other than a read: its name and the one value worth
// checking (the speed for SetCommState, the milliseconds for Sleep, the index
// into `writes` for WriteFile).
struct RecordedCall {
  Micros at;
  std::string name;
  std::uint64_t value;
};

struct ReadFault {
  DWORD error;     // what GetLastError reports afterwards
  bool with_byte;  // the failed read still delivers the next byte, if one is due
};

struct WriteFault {
  DWORD error;              // the write fails with this error...
  std::int64_t count = -1;  // ...or, when 0 or more, succeeds with at most this count
};

class VirtualLine {
 public:
  VirtualLine();

  Micros now = 0;

  // Failures to inject: a non-zero error makes that call fail with it.
  DWORD create_error = 0;
  DWORD get_state_error = 0;
  DWORD set_state_error = 0;
  DWORD get_timeouts_error = 0;
  DWORD set_timeouts_error = 0;
  std::map<std::uint64_t, ReadFault> read_faults;    // by read number, from 1
  std::map<std::uint64_t, WriteFault> write_faults;  // by write number, from 1

  // Host bytes take 10 bit times each on the way to the board.
  bool pace_host_output = false;

  // Scripted input: bytes that reach the host's input queue at `at`.
  void send_to_host(std::string_view bytes, Micros at);
  void send_to_host(std::string_view bytes) { send_to_host(bytes, now); }

  // A scripted peer: called after every successful write with its bytes.
  std::function<void(std::string_view bytes)> on_write;

  // The board on the far end, if any (not owned).
  void attach(Board* board) { board_ = board; }

  // What the host did.
  std::vector<RecordedWrite> writes;
  std::vector<RecordedCall> calls;
  std::uint64_t reads = 0;
  std::uint64_t empty_reads = 0;
  std::vector<LineByte> received;  // every byte a read delivered, as delivered, with its arrival
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  std::string created_name;
  DWORD created_share_mode = 0xFFFFFFFF;

  std::string all_written() const;
  std::vector<std::uint64_t> sleeps() const;
  std::size_t pending_input() const { return input_.size(); }

  // Used by the platform functions.
  bool read_byte(std::uint8_t* byte, DWORD* error);
  void write_bytes(const std::uint8_t* bytes, std::size_t count);
  void record(const char* name, std::uint64_t value = 0) { calls.push_back({now, name, value}); }

 private:
  Micros read_timeout() const;
  const LineByte* next_input() const;
  void pop_input(const LineByte* taken);

  Board* board_ = nullptr;
  std::deque<LineByte> input_;
  Micros host_line_free_at_ = 0;
};

// The line that the platform functions use.
VirtualLine& virtual_line();

// A fresh line: clock at 0, nothing attached, nothing recorded.
void reset_virtual_line();

}  // namespace sim
