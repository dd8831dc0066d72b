#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "monitor/monitor_commands.h"
#include "serial/serial_port.h"
#include "transfer/file_checks.h"
#include "transfer/transfer.h"

namespace {

// The header carries the length as a signed 32-bit decimal.
constexpr std::int64_t max_upload_length = 0x7FFFFFFF;

void fill_block_header(ymodem_frame* frame, std::uint8_t block) {
  frame->soh = SOH;
  frame->block = block;
  frame->block_complement = static_cast<std::uint8_t>(255 - block);
}

// Header frame data: path, NUL, decimal length, NUL, zeros. False (nothing
// written) when that does not fit the 128 data bytes.
bool build_header_frame(ymodem_frame* frame, const char* path, std::int64_t length) {
  char digits[24];
  const int digit_count = std::snprintf(digits, sizeof digits, "%" PRId64, length);
  const std::size_t path_length = std::strlen(path);
  if (path_length + static_cast<std::size_t>(digit_count) + 2 > ymodem_data_size) return false;
  fill_block_header(frame, 0);
  std::memset(frame->data, 0, ymodem_data_size);
  std::memcpy(frame->data, path, path_length);
  std::memcpy(frame->data + path_length + 1, digits, static_cast<std::size_t>(digit_count));
  return true;
}

// Sends the file's data frames. 1 when every one of them was ACKed.
int send_data_frames(ymodem_frame* frame, std::FILE* file, const char* path) {
  for (;;) {
    std::memset(frame->data, SUB, ymodem_data_size);
    ++serial_counter;
    fill_block_header(frame, serial_counter);
    const std::size_t count = std::fread(frame->data, 1, ymodem_data_size, file);
    // A short read is the end of the file, unless the stream says it failed:
    // then the loader would get a truncated flash writer.
    if ((count == 0 && !std::feof(file)) || std::ferror(file)) {
      std::printf("Error reading file %s: %d\n", path, std::ferror(file));
      return 0;
    }
    const bool last = count < ymodem_data_size;
    const int acked = send_frame(frame);
    // The last frame counts like any other: the loader ACKs every frame it
    // takes, so without its ACK the flash writer's end is not on the board.
    if (last || !acked) return acked ? 1 : 0;
  }
}

}  // namespace

int ymodem_send(const char* path, std::uint32_t dls_segment) {
  if (const char* kind = irregular_file_kind(path)) {
    std::printf("Error opening file %s: it is %s, not a regular file: process aborted\n", path,
                kind);
    return 0;
  }
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    std::printf("Error opening file: process aborted\n");
    return 0;
  }
  const std::optional<std::int64_t> length = stream_length(file);
  if (!length) {
    std::printf("Error opening file %s: its length cannot be determined: process aborted\n", path);
    std::fclose(file);
    return 0;
  }
  if (*length > max_upload_length) {
    std::printf("Error: file %s has %" PRId64 " bytes, more than the %" PRId64
                " an upload can carry: process aborted\n",
                path, *length, max_upload_length);
    std::fclose(file);
    return 0;
  }
  ymodem_frame frame;
  if (!build_header_frame(&frame, path, *length)) {
    std::printf(
        "Error: file name %s is too long for the upload header (name, length and two "
        "NULs must fit %d bytes): process aborted\n",
        path, ymodem_data_size);
    std::fclose(file);
    return 0;
  }

  char command[32];
  send_segment_command(command, sizeof command, MONITOR_YLOAD, dls_segment);
  Sleep(1000);
  read_echo(nullptr, 0);

  serial_counter = 0;
  int result = 0;
  if (send_frame(&frame)) result = send_data_frames(&frame, file, path);

  // Close the batch on every path, so the loader returns to the monitor.
  send_eot();
  read_echo(nullptr, 0);
  std::fclose(file);

  fill_block_header(&frame, 0);
  std::memset(frame.data, 0, ymodem_data_size);
  if (!send_frame(&frame)) std::printf("Error sending final null pkt 0\n");
  return result;
}
