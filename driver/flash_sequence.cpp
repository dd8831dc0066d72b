#include <cstdio>

#include "driver/quarnprog.h"
#include "monitor/dls_address.h"
#include "monitor/monitor_commands.h"
#include "serial/serial_port.h"
#include "transfer/transfer.h"

namespace {

constexpr int answer_polls = 640;
constexpr int poll_pause_ms = 200;

// Polls for the flash writer's first answer: ESC, ACK or NAK, the first of
// them in one poll. Only the bytes received by that very poll are looked at,
// never what the buffer held before. Returns the answer, or 0 for none.
std::uint8_t poll_first_answer(char* command_buffer) {
  auto* buffer = reinterpret_cast<std::uint8_t*>(command_buffer);
  for (int poll = 0; poll < answer_polls; ++poll) {
    Sleep(poll_pause_ms);
    const int count = read_echo(buffer, command_buffer_size);
    for (int i = 0; i < count; ++i) {
      if (buffer[i] == ESC || buffer[i] == ACK || buffer[i] == NAK) return buffer[i];
    }
  }
  return 0;
}

void send_closing_commands(char* command_buffer, std::uint32_t dls_segment) {
  send_segment_command(command_buffer, command_buffer_size, MONITOR_DB, dls_segment);
  Sleep(1000);
  read_echo(nullptr, 0);
  send_command(MONITOR_D);
  Sleep(1000);
  read_echo(nullptr, 0);
}

}  // namespace

bool run_flash_sequence(const char* pel_path, const char* image_path, char* command_buffer,
                        std::uint32_t* dls_segment) {
  if (!get_dls_address(dls_segment)) {
    std::printf("Error getting download address\n");
    return false;
  }
  if (!ymodem_send(pel_path, *dls_segment)) return false;

  Sleep(1000);
  wait_prompt(1500);
  send_segment_command(command_buffer, command_buffer_size, MONITOR_GO, *dls_segment);

  bool flashed = false;
  if (poll_first_answer(command_buffer) == ESC) {
    wait_prompt(1500);
  } else {
    flashed = send_sp_file(image_path) == sp_feed_complete;
  }
  send_closing_commands(command_buffer, *dls_segment);
  return flashed;
}
