// What travels on the virtual serial line between the host and the board:
// time in microseconds, a byte stamped with its arrival time and the speed it
// was sent at, and how a byte looks when the two ends disagree on the speed.
#pragma once

#include <cstdint>

namespace sim {

using Micros = std::uint64_t;

// A byte the board put on the line: when it reaches the host, and at which
// speed it was sent.
struct LineByte {
  Micros at;
  std::uint8_t value;
  std::uint32_t baud;
};

// A byte received at a speed other than the one it was sent at. Real UARTs
// deliver framing errors and bit soup; we map every byte to a fixed one in
// 0xF0..0xFF, which is never ':' nor a control byte, so a garbled answer can
// never pass for a prompt, ACK, NAK or ESC.
constexpr std::uint8_t garble(std::uint8_t value) {
  return static_cast<std::uint8_t>(0xF0 | (value & 0x0F));
}

// Time one 8N1 character (start, 8 data, stop: 10 bits) occupies the line,
// rounded up so that paced bytes are never closer than 10 bit-times.
constexpr Micros byte_time(std::uint32_t baud) {
  return baud == 0 ? 0 : (Micros{10'000'000} + baud - 1) / baud;
}

}  // namespace sim
