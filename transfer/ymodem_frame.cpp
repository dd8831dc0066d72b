#include <array>
#include <cstdio>

#include "serial/serial_port.h"
#include "transfer/transfer.h"

std::uint8_t serial_counter = 0;

namespace {

constexpr int max_attempts = 5;
constexpr int reads_per_wait = 10;
constexpr int max_eots = 10;

// Entry i is the CRC-16/XMODEM (polynomial 0x1021, not reflected) of byte i.
constexpr std::array<std::uint16_t, 256> make_crc_table() {
  std::array<std::uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    table[i] = crc;
  }
  return table;
}
constexpr std::array<std::uint16_t, 256> crc_table = make_crc_table();

// What one read of an answer brought.
struct read_result {
  bool ok;
  bool got_byte;
  std::uint8_t byte;
};

read_result read_answer_byte() {
  read_result result{};
  DWORD count = 0;
  result.ok = ReadFile(port_handle, &result.byte, 1, &count, nullptr) != 0;
  result.got_byte = count == 1;
  return result;
}

bool write_all(const void* bytes, DWORD size, DWORD* written) {
  *written = 0;
  return WriteFile(port_handle, bytes, size, written, nullptr) != 0;
}

}  // namespace

void calc_crc(ymodem_frame* frame) {
  std::uint16_t crc = 0;
  for (std::uint8_t byte : frame->data) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ crc_table[((crc >> 8) ^ byte) & 0xFF]);
  }
  frame->crc_high = static_cast<std::uint8_t>(crc >> 8);
  frame->crc_low = static_cast<std::uint8_t>(crc & 0xFF);
}

int send_frame(ymodem_frame* frame) {
  calc_crc(frame);
  // Whatever the target said before this frame is shown, never taken as its answer.
  read_echo(nullptr, 0);

  bool acked = false;
  bool read_failed = false;
  int attempt = 0;
  while (attempt < max_attempts && !acked && !read_failed) {
    ++attempt;
    DWORD written = 0;
    if (!write_all(frame, ymodem_frame_size, &written)) {
      std::printf("send_frame: WriteFile Failed\n");
      continue;
    }
    if (written < ymodem_frame_size) {
      std::printf("Error writing ymodem frame\n");
      continue;
    }
    Sleep(150);
    for (int read = 0; read < reads_per_wait; ++read) {
      const read_result answer = read_answer_byte();
      if (!answer.ok) {
        // No further attempt after this wait: the port itself is in trouble.
        std::printf("send_frame:: ReadFile Failed error = %ld\n", last_error_number());
        read_failed = true;
      }
      if (!answer.got_byte) {
        if (answer.ok) std::printf("1");
        continue;
      }
      if (answer.byte == ACK) {
        std::printf("*");
        acked = true;
      } else if (answer.byte == NAK) {
        std::printf("/");
      } else {
        // Widened as a signed char, so bytes from 0x80 show as ffffffXX.
        std::printf("0x%2.2x ", static_cast<int>(static_cast<std::int8_t>(answer.byte)));
      }
      break;
    }
  }
  if (!acked && attempt == max_attempts) {
    std::printf("Ymodem send_frame retry count exceeded\n");
  }
  return acked ? 1 : 0;
}

void send_eot() {
  bool acked = false;
  for (int eot = 0; eot < max_eots && !acked; ++eot) {
    DWORD written = 0;
    write_all(&EOT, 1, &written);
    for (int read = 0; read < reads_per_wait && !acked; ++read) {
      const read_result answer = read_answer_byte();
      if (!answer.got_byte) continue;
      if (answer.byte == ACK) {
        std::printf("E");
        acked = true;
      } else {
        std::printf("F");
      }
    }
  }
  read_echo(nullptr, 0);
}
