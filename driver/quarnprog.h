// The run driver: the command line, the port's lifetime, the speed handshake
// with the monitor and the order of the flashing steps.
#pragma once

#include <cstdint>

// Exit statuses of a run.
constexpr int exit_flashed = 0;           // the flash writer took the whole image
constexpr int exit_not_started = 1;       // usage, port, configuration, or no target
constexpr int exit_flash_incomplete = 2;  // the link came up, but the flash did not complete

// Room for every command text the run formats.
constexpr int command_buffer_size = 100;

// The whole run: `argv` holds the flash writer's path and the image's path.
// Returns the exit status.
int quarnprog_main(int argc, char** argv);

// Between the speed raise and the restore: query the download segment, upload
// and start the flash writer, feed it the image, and send the closing "db"
// and "d". True only when the flash writer took every packet of the image.
bool run_flash_sequence(const char* pel_path, const char* image_path, char* command_buffer,
                        std::uint32_t* dls_segment);
