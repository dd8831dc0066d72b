#include <cstdio>
#include <cstring>

#include "monitor/monitor_commands.h"
#include "serial/serial_port.h"

void send_command(const char* text) {
  DWORD written = 0;
  WriteFile(port_handle, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void send_segment_command(char* buffer, std::size_t size, const char* format,
                          std::uint32_t segment) {
  std::snprintf(buffer, size, format, static_cast<unsigned>(segment));
  send_command(buffer);
}
