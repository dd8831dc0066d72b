// The fuzzer's input format: the whole of one run of quarnprog, that is the
// command line's files and a platform fault in a short header, then every
// byte the board sends and when, as a script of chunks that a scripted peer
// on the virtual line releases.
//
//   header (7 bytes, missing bytes read as 0):
//     shape   bits 0-1: 1 = one argument, 2 = three arguments, else two;
//             bit 2: flash writer missing; bit 3: image missing; bit 4:
//             flash writer is a directory; bit 5: image is a FIFO; bit 6:
//             flash writer path exactly at the upload header's limit;
//             bit 7: one byte past it
//     pel     flash writer length / 8
//     image   image length / 5
//     seed    content of both files
//     fault   a platform call made to fail (see Fault)
//     at      two bytes, little-endian: which read or write it hits
//   chunks, until the input ends:
//     control bits 0-4: delay code (delay_table); bits 5-7: trigger, 0 = the
//             delay counts from the previous chunk's release (from the run's
//             start for the first), n = from the n-th host write after the
//             previous chunk's trigger
//     length  then that many bytes (fewer if the input ends)
//
// So a chunk can answer a command, a frame or a packet (write-triggered), or
// come on its own clock (a start-up text, a flash writer's delayed answers),
// and a short mutation moves an answer to another write or another time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/virtual_line.h"

namespace fuzz {

enum class Fault : std::uint8_t {
  none,
  create,               // CreateFileA fails
  get_state,            // the first GetCommState fails, and every later one
  set_state,            // likewise SetCommState
  get_timeouts,         // GetCommTimeouts
  set_timeouts,         // SetCommTimeouts
  read_aborted,         // read number `at` fails with ERROR_OPERATION_ABORTED
  read_error,           // read number `at` fails with EIO, no byte
  read_error_and_byte,  // read number `at` fails with EIO but still delivers a byte
  write_error,          // write number `at` fails with EIO
  write_short,          // write number `at` moves fewer bytes than asked
  count
};

// Delays a chunk can carry: the program's own thresholds and a bit either
// side of them (one empty read is 10 ms; pauses of 2, 50, 150, 200, 1000
// and 2000 ms; waits of 15 and 30 s; 640 polls take about 134 s).
inline constexpr std::array<sim::Micros, 32> delay_table = {
    0,         100,       500,        1'000,      2'000,      5'000,      9'000,      10'000,
    11'000,    20'000,    30'000,     50'000,     70'000,     100'000,    150'000,    160'000,
    200'000,   250'000,   300'000,    500'000,    800'000,    1'000'000,  1'500'000,  2'000'000,
    3'000'000, 5'000'000, 10'000'000, 14'000'000, 16'000'000, 29'000'000, 31'000'000, 135'000'000};

struct Chunk {
  std::uint8_t trigger = 0;     // 0: after the previous chunk; n: after the n-th next write
  std::uint8_t delay_code = 0;  // index into delay_table
  std::string bytes;
};

struct Script {
  std::uint8_t shape = 0, pel_units = 0, image_units = 0, seed = 0;
  Fault fault = Fault::none;
  std::uint16_t fault_at = 0;
  std::vector<Chunk> chunks;

  std::size_t pel_size() const { return std::size_t{pel_units} * 8; }
  std::size_t image_size() const { return std::size_t{image_units} * 5; }
};

Script decode(const std::uint8_t* data, std::size_t size);
std::string encode(const Script& script);

// The largest delay code whose delay does not exceed `delay`.
std::uint8_t delay_code_at_most(sim::Micros delay);

// Releases a script's chunks into the virtual line: timed chunks as soon as
// their time is known, write-triggered ones from the line's on_write.
class Peer {
 public:
  explicit Peer(const Script& script) : chunks_(script.chunks) {}

  // Connects to the current virtual line and releases the chunks that run
  // on the clock from the start.
  void attach();
  // The arrival time of the last byte released so far (0 for none).
  sim::Micros last_release() const { return last_release_; }
  std::size_t released() const { return next_; }

 private:
  void on_write();
  void release(sim::Micros at);
  void release_timed();

  const std::vector<Chunk>& chunks_;
  std::size_t next_ = 0;
  unsigned writes_seen_ = 0;  // host writes since the last write-triggered release
  sim::Micros last_release_ = 0;
};

}  // namespace fuzz
