// The serial link to the target: the one open port, its configuration, the
// control bytes of the protocols, and the two receive primitives that every
// exchange uses. Every byte received through them is echoed to the console.
#pragma once

#include <cstdint>

#include "platform/win32_comm.h"

// The port opened at start-up; every read, write and configuration goes
// through it. Never closed explicitly: the end of the process releases it.
extern HANDLE port_handle;

constexpr std::uint8_t SOH = 0x01;
constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;
constexpr std::uint8_t SUB = 0x1A;
constexpr std::uint8_t ESC = 0x1B;

// Sets the speed, 8N1 framing with received NUL bytes delivered, and the read
// time-outs (an empty one-byte read lasts 10 ms plus the port's own constant
// term). Everything else stays as the port had it. Prints its own message on
// failure. Returns 0, or the failing step: 2 GetCommState, 3 SetCommState,
// 4 GetCommTimeouts, 5 SetCommTimeouts.
int configure_port(std::uint32_t baud);

// Reads and echoes single bytes until a read brings nothing. With a buffer and
// a non-zero capacity it also stores them and returns as soon as the buffer is
// full, leaving the rest queued in the port. Returns the count received. With
// no buffer (a drain) it gives up after drain_byte_limit bytes, so that a
// target that never falls quiet cannot hold the program.
int read_echo(std::uint8_t* buffer, int capacity);

// Reads and echoes until the prompt ':' arrives (1), or until `budget` empty
// reads pass before any byte at all (0). Once bytes flow it also gives up (0)
// after prompt_byte_limit bytes or prompt_silence_limit empty reads in a row
// without a ':', bounds a healthy monitor never reaches.
int wait_prompt(int budget);

constexpr int drain_byte_limit = 65536;
constexpr int prompt_byte_limit = 65536;
constexpr int prompt_silence_limit = 3000;

// The operating system's reason for the last failed platform call, as the
// signed number the messages print.
inline long last_error_number() {
  return static_cast<std::int32_t>(GetLastError());
}
