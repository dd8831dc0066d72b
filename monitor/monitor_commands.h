// The monitor's command texts, byte for byte as the monitor expects them:
// "\n\r" line ends, and blanks that are part of the command (the 38400 command
// has two after "speed", the 9600 command three). Texts with %x take the
// download segment in lower-case hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>

#define MONITOR_SPEED_38400 "speed  38  0  \n\r\n\r"
#define MONITOR_SPEED_9600 "speed   96  0  \n\r\n\r"
#define MONITOR_WAKE_UP "\n\r"
#define MONITOR_DLS "dls\n\r"
#define MONITOR_YLOAD "yload %x:0\n\r"
#define MONITOR_GO "g %x:0\n\r"
#define MONITOR_DB "db %x:0\n\r"
#define MONITOR_D "d\n\r"

// Writes a NUL-terminated command text to the port in one write of its length.
// Like the monitor itself, the program does not look at the write's outcome:
// a command that did not go out shows in the answer that does not come.
void send_command(const char* text);

// Formats a command with the download segment into `buffer` (of `size`
// bytes) and sends it.
void send_segment_command(char* buffer, std::size_t size, const char* format,
                          std::uint32_t segment);
