#include <cstdio>
#include <cstring>

#include "serial/serial_port.h"
#include "transfer/file_checks.h"
#include "transfer/transfer.h"

std::int32_t mycount = 0;

namespace {

constexpr int ready_wait_reads = 101;
constexpr int max_transmissions = 5;
constexpr int reads_per_answer = 10;

// The flash writer signals with an ACK that it is ready for the first packet.
// Whatever else it says meanwhile is dropped; a silent one gets the first
// packet after the last read all the same.
void wait_until_ready() {
  for (int read = 0; read < ready_wait_reads; ++read) {
    std::uint8_t byte = 0;
    DWORD count = 0;
    ReadFile(port_handle, &byte, 1, &count, nullptr);
    if (count == 1 && byte == ACK) return;
  }
}

void complete_packet(sp_packet* packet) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : packet->data) sum = static_cast<std::uint8_t>(sum + byte);
  packet->checksum = sum;
  packet->soh = SOH;
  packet->serial = ++serial_counter;
  ++mycount;
}

}  // namespace

int send_sp_packet(sp_packet* packet) {
  complete_packet(packet);
  int result = 0;
  bool finished = false;
  for (int transmission = 1;; ++transmission) {
    DWORD written = 0;
    if (!WriteFile(port_handle, packet, sp_packet_size, &written, nullptr)) {
      std::printf("send_sp_packet: WriteFile Failed error = %ld\n", last_error_number());
      return 0;
    }
    if (written < sp_packet_size) {
      std::printf("Error writing simple file packet frame\n");
      return 0;
    }

    bool got_byte = false;
    for (int read = 1; !got_byte && !finished; ++read) {
      std::printf("R");
      std::uint8_t byte = 0;
      DWORD count = 0;
      const bool ok = ReadFile(port_handle, &byte, 1, &count, nullptr) != 0;
      got_byte = count == 1;
      if (!ok && !got_byte && GetLastError() == ERROR_OPERATION_ABORTED) {
        // The port gave up on this read; treat it as silence after a breather.
        Sleep(1000);
        std::printf("X");
      } else if (!ok) {
        std::printf("send_sp_packet:a: ReadFile Failed error = %ld\n", last_error_number());
        finished = true;
        result = 0;
      }

      if (got_byte) {
        if (byte == ACK) {
          std::printf("*");
          finished = true;
          result = 1;
        } else if (byte == NAK) {
          std::printf("/");
        } else if (byte == ESC) {
          std::printf("|");
          read_echo(nullptr, 0);
          finished = true;
          result = -1;
        } else {
          std::printf("%c", byte);
          read_echo(nullptr, 0);
        }
      } else {
        Sleep(2);
        if (!finished && read == reads_per_answer) {
          std::printf("\nsend_sp_packet:b: ReadFile Failed error = %ld mycount=%d\n",
                      last_error_number(), static_cast<int>(mycount));
          finished = true;
          result = 0;
        }
      }
    }
    if (finished || transmission == max_transmissions) return result;
  }
}

int send_sp_file(const char* path) {
  if (const char* kind = irregular_file_kind(path)) {
    std::printf("Error opening file %s: it is %s, not a regular file: process aborted\n", path,
                kind);
    return sp_feed_open_failed;
  }
  // Stays open until the process ends.
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::printf("Error opening file %s: process aborted\n", path);
    return sp_feed_open_failed;
  }
  serial_counter = 0;
  wait_until_ready();
  std::printf("\n");

  sp_packet packet;
  int packets = 0;
  for (;;) {
    const std::size_t count = std::fread(packet.data, 1, sp_data_size, file);
    if (count == 0) {
      if (!std::feof(file)) {
        std::printf("Error reading file %s\n", path);
        send_eot();
        return sp_feed_incomplete;
      }
      break;
    }
    if (count < sp_data_size) std::memset(packet.data + count, 0, sp_data_size - count);
    const int answer = send_sp_packet(&packet);
    if (answer < 0) return sp_feed_incomplete;  // the flash writer abandoned the transfer
    if (answer == 0) {
      send_eot();
      return sp_feed_incomplete;
    }
    ++packets;
  }
  send_eot();
  if (packets == 0) {
    // Nothing reached the flash: not a success, however smoothly it went.
    std::printf("Image file %s is empty: nothing was written\n", path);
    return sp_feed_incomplete;
  }
  return sp_feed_complete;
}
