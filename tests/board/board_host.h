// A tiny host for driving a sim::Board in tests: a clock, the host's line
// speed, paced sending, and taking whatever the board has sent by now. Also
// builders for YMODEM frames and flash writer packets, written here apart
// from the board's own code so that the two check each other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/board.h"

namespace board_test {

constexpr sim::Micros ms(std::uint64_t n) {
  return n * 1000;
}

using Bytes = std::vector<std::uint8_t>;

inline std::string text(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class Host {
 public:
  explicit Host(sim::BoardConfig config = {}) : board(std::move(config)) {}

  // Sends bytes one after the other at the host's speed.
  void send(std::string_view bytes) {
    for (char c : bytes) {
      now += sim::byte_time(baud);
      board.receive(static_cast<std::uint8_t>(c), baud, now);
    }
  }
  void send(const Bytes& bytes) { send(text(bytes)); }

  // Lets `duration` pass and returns what arrived meanwhile (and before),
  // garbled where the board sent at another speed than the host's.
  std::string wait(sim::Micros duration) {
    now += duration;
    std::string got;
    while (const sim::LineByte* next = board.peek_output()) {
      if (next->at > now) break;
      got += static_cast<char>(next->baud == baud ? next->value : sim::garble(next->value));
      last.push_back(*next);
      board.pop_output();
    }
    return got;
  }

  // Sends and returns what came back within `within` after the last byte.
  std::string exchange(std::string_view bytes, sim::Micros within = 100'000) {
    send(bytes);
    return wait(within);
  }
  std::string exchange(const Bytes& bytes) { return exchange(text(bytes)); }

  sim::Board board;
  sim::Micros now = 0;
  std::uint32_t baud = 9600;
  std::vector<sim::LineByte> last;  // every byte taken, with its times
};

inline std::uint16_t crc16(const std::uint8_t* data, std::size_t size) {
  // Table-free CRC-16/XMODEM, one bit at a time, low level on purpose.
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool in = (data[i] >> bit) & 1;
      const bool top = (crc >> 15) & 1;
      crc = (crc << 1) & 0xFFFF;
      if (in != top) crc ^= 0x1021;
    }
  }
  return static_cast<std::uint16_t>(crc);
}

// A 133-byte frame; `data` is cut or filled with `fill` to 128 bytes.
inline Bytes frame(std::uint8_t block, Bytes data, std::uint8_t fill = 0x1A) {
  data.resize(128, fill);
  // Built in one go: growing a 3-byte vector trips a false GCC 12 array-bounds warning at -O2.
  Bytes out(133);
  out[0] = 0x01;
  out[1] = block;
  out[2] = static_cast<std::uint8_t>(255 - block);
  std::copy(data.begin(), data.end(), out.begin() + 3);
  out.resize(131);
  const std::uint16_t crc = crc16(data.data(), data.size());
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
  out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  return out;
}

inline Bytes header(const std::string& name, std::size_t length) {
  std::string field = name + '\0' + std::to_string(length) + '\0';
  return frame(0, Bytes(field.begin(), field.end()), 0);
}

inline Bytes null_frame() {
  return frame(0, {}, 0);
}

// A 67-byte packet; `data` is cut or zero-filled to 64 bytes.
inline Bytes packet(std::uint8_t serial, Bytes data) {
  data.resize(64, 0);
  Bytes out(67);  // sized up front, as in frame()
  out[0] = 0x01;
  out[1] = serial;
  std::uint8_t sum = 0;
  for (std::uint8_t b : data) sum = static_cast<std::uint8_t>(sum + b);
  std::copy(data.begin(), data.end(), out.begin() + 2);
  out[66] = sum;
  return out;
}

inline Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  from = std::min(from, bytes.size());
  count = std::min(count, bytes.size() - from);
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

inline Bytes pattern(std::size_t size, unsigned seed = 1) {
  Bytes bytes(size);
  std::uint32_t state = seed;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

}  // namespace board_test
