#include <cstdio>

#include "driver/quarnprog.h"
#include "monitor/monitor_commands.h"
#include "serial/serial_port.h"

namespace {

constexpr std::uint32_t monitor_speed = 9600;
constexpr std::uint32_t working_speed = 38400;
constexpr const char* port_name = "COM1";

void print_usage() {
  std::printf("Proper command for invoking this application is:\n\n");
  std::printf("   quarnprog pel_pgm_name bios_filename\n\n");
  std::printf("pel_pgm_name must identify the file (with extension) for\n");
  std::printf("   Quarn PEL application for programming your flash\n");
  std::printf("bios_filename must identify the file to be burnt into the flash\n");
}

// Raise both ends to the working speed. Failures here are left to show in
// what follows: the monitor's answers, or their absence.
void raise_speed() {
  send_command(MONITOR_SPEED_38400);
  read_echo(nullptr, 0);
  configure_port(working_speed);
  read_echo(nullptr, 0);
  Sleep(2000);
  send_command(MONITOR_WAKE_UP);
  wait_prompt(1500);
}

// Back to the speed the monitor starts with, whichever way the flash went.
void restore_speed() {
  send_command(MONITOR_SPEED_9600);
  read_echo(nullptr, 0);
  configure_port(monitor_speed);
  Sleep(1000);
  read_echo(nullptr, 0);
}

}  // namespace

int quarnprog_main(int argc, char** argv) {
  if (argc != 3) {
    print_usage();
    return exit_not_started;
  }
  char command_buffer[command_buffer_size];
  std::uint32_t dls_segment = 0;

  // Exclusive and synchronous: nobody else may talk to the board meanwhile.
  port_handle =
      CreateFileA(port_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port_handle == INVALID_HANDLE_VALUE) {
    std::printf("CreateFile failed with error %d.\n", static_cast<int>(last_error_number()));
    return exit_not_started;
  }
  std::printf(
      "Serial port %s successfully reconfigured.\nPower up the target with the A23 "
      "jumper installed now\n",
      port_name);
  const int error = configure_port(monitor_speed);
  if (error != 0) {
    std::printf("Error configuring serial port: %d\n", error);
    return exit_not_started;
  }

  read_echo(nullptr, 0);
  if (!wait_prompt(3000)) {
    std::printf("Timeout waiting for target reset string. Please try again\n");
    return exit_not_started;
  }

  raise_speed();
  const bool flashed = run_flash_sequence(argv[1], argv[2], command_buffer, &dls_segment);
  restore_speed();
  return flashed ? exit_flashed : exit_flash_incomplete;
}
