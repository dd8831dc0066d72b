#include <cstdio>

#include "serial/serial_port.h"

HANDLE port_handle = INVALID_HANDLE_VALUE;

int configure_port(std::uint32_t baud) {
  DCB dcb;
  if (!GetCommState(port_handle, &dcb)) {
    std::printf("GetCommState failed with error %d.\n", static_cast<int>(last_error_number()));
    return 2;
  }
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fNull = 0;  // the protocols carry NUL bytes: they must be delivered, not discarded
  if (!SetCommState(port_handle, &dcb)) {
    std::printf("SetCommState failed with error %d.\n", static_cast<int>(last_error_number()));
    return 3;
  }

  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(port_handle, &timeouts)) {
    std::printf("Error: GetCommTimeouts reported error number %d.\n",
                static_cast<int>(last_error_number()));
    return 4;
  }
  // One-byte reads return with their byte, or after 10 ms plus the port's own
  // constant term; that empty read is the program's unit of silence.
  timeouts.ReadIntervalTimeout = 10;
  timeouts.ReadTotalTimeoutMultiplier = 10;
  if (!SetCommTimeouts(port_handle, &timeouts)) {
    std::printf("Error: SetCommTimeouts reported error number %d.\n",
                static_cast<int>(last_error_number()));
    return 5;
  }
  return 0;
}
