// The two checks of the board's receivers: CRC-16/XMODEM of YMODEM frames and
// the 8-bit sum of flash writer packets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// Polynomial 0x1021, initial value 0, no reflection, no final xor.
constexpr std::uint16_t crc16_xmodem(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

constexpr std::uint8_t sum8(const std::uint8_t* data, std::size_t size) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
  return sum;
}

}  // namespace sim
