// How a virtual Quarn board behaves: its timing, what its monitor says, and
// the faults a test wants it to show. Plain fields with working defaults; a
// test changes only the ones it is about.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "sim/line.h"

namespace sim {

// "Never": an index no frame, packet or byte reaches.
inline constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;
inline constexpr char kEsc = 0x1B;

// An answer put in place of the ACK to one frame or packet. The frame or
// packet is then not taken. Indexes count from the host's point of view:
//   YMODEM frames: 0 = header, 1, 2, ... = data frames in order (not wrapped
//   at 256), the null end frame = number of data frames + 1;
//   flash packets: 1, 2, ... = packets in order (not wrapped).
// A frame or packet sent again keeps its index, so `times` counts arrivals.
struct AnswerFault {
  std::uint64_t index = 0;
  unsigned times = 1;
  std::string answer = std::string(1, kNak);
};

// Line faults count bytes from 0 in the order they cross the line.
struct ByteXor {
  std::uint64_t index;  // host byte number
  std::uint8_t mask;    // xor-ed into it
};
struct ByteReplace {
  std::uint64_t index;  // board output byte number (bytes actually sent)
  std::uint8_t value;   // sent instead
};

struct BoardConfig {
  // --- Timing ---
  bool pace_output = true;       // output bytes at least 10 bit-times apart
  Micros answer_latency = 1000;  // from a complete command / frame / packet to its answer
  // A frame or packet that stops for this long is thrown away and NAKed, so a
  // lost byte cannot wedge the receiver. Well below the host's shortest
  // answer wait (ten empty reads of >= 10 ms each).
  Micros frame_gap = 50'000;

  // --- Monitor ---
  std::string startup_text = "\r\nQuarn board monitor 2.3\r\nCPU 80C188, 512K RAM, 256K flash\r\n";
  std::uint32_t dls_segment = 0x8000;

  // --- Monitor faults ---
  bool silent = false;                 // board never powered: power_up() does nothing
  bool startup_prompt = true;          // false: start-up text without its ':'
  bool prompts = true;                 // false: answers come without the closing ':'
  bool ignore_speed = false;           // speed commands answered with a bare prompt, speed kept
  std::string garbage_before_answers;  // sent before every monitor answer
  // Command word (lower case, "" for an empty line, "*" for every command)
  // whose answer is delayed by `slow_answer_delay` / not sent at all (the
  // command still takes effect).
  std::optional<std::string> slow_command;
  Micros slow_answer_delay = 0;
  std::optional<std::string> missing_answer_command;
  // Everything the monitor sends after the ':' that follows "dls". Unset:
  // " <segment in upper-case hex>\r\n:" (without ':' when prompts are off).
  std::optional<std::string> dls_answer;
  std::size_t dls_pause_before = std::string::npos;  // pause before this byte of it
  Micros dls_pause = 0;

  // --- YMODEM loader ---
  bool loader_sends_c = true;         // one 'C' on entry, as real receivers do
  bool loader_nak_first_eot = false;  // classic receivers NAK the first EOT
  // Silence after which the loader gives up and returns to the monitor.
  Micros loader_idle_timeout = 10'000'000;
  std::vector<AnswerFault> loader_answers;
  // From the first arrival of this frame on, nothing the loader says reaches
  // the line (it still receives, stores and gives up as usual).
  std::uint64_t loader_silent_from_frame = kNever;

  // --- Flash writer ---
  // After "g", it announces itself, erases (silently) and then signals ready.
  Micros flash_first_answer_delay = 300'000;
  std::string flash_first_answer = "\r\nQuarn flash writer 1.2\r\n" + std::string(1, kAck);
  Micros flash_ready_delay = 500'000;  // from the first answer to the ready ACK
  std::string flash_before_ready;      // bytes sent just before the ready ACK
  bool flash_ready_ack = true;
  std::vector<AnswerFault> flash_answers;  // an answer holding ESC also abandons
  std::uint64_t flash_silent_from_packet = kNever;
  bool flash_eot_ack = true;  // false: EOT ends the writer, but without ACK

  // --- Line faults ---
  std::vector<ByteXor> corrupt_host_bytes;
  std::vector<std::uint64_t> lose_host_bytes;
  std::vector<ByteReplace> replace_board_bytes;
  // Host bytes after this one are ignored and nothing new is sent; bytes
  // already on their way still arrive.
  std::uint64_t dead_after_host_byte = kNever;
};

}  // namespace sim
