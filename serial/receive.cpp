#include <cstdio>

#include "serial/serial_port.h"

namespace {

// One single-byte read; a failed read counts as an empty one here.
bool read_byte(std::uint8_t* byte) {
  DWORD count = 0;
  ReadFile(port_handle, byte, 1, &count, nullptr);
  return count == 1;
}

void echo(std::uint8_t byte) {
  std::printf("%c", byte);
}

}  // namespace

int read_echo(std::uint8_t* buffer, int capacity) {
  const bool storing = buffer != nullptr && capacity != 0;
  int count = 0;
  int index = 0;
  std::uint8_t byte = 0;
  while (read_byte(&byte)) {
    echo(byte);
    ++count;
    if (storing) {
      buffer[index++] = byte;
      if (index >= capacity) return count;
    } else if (count >= drain_byte_limit) {
      return count;
    }
  }
  return count;
}

int wait_prompt(int budget) {
  int bytes = 0;
  int silent_reads_in_a_row = 0;
  std::uint8_t last = 0;
  std::uint8_t byte = 0;
  for (;;) {
    if (read_byte(&byte)) {
      echo(byte);
      last = byte;
      budget = -1;  // the target is talking: from now on wait for its ':'
      silent_reads_in_a_row = 0;
      if (last == ':') return 1;
      if (++bytes >= prompt_byte_limit) return 0;
    } else if (budget > 0) {
      if (--budget == 0) return 0;
    } else if (++silent_reads_in_a_row >= prompt_silence_limit) {
      return 0;
    }
  }
}
