// The command line of quarnsim: where to put the port name and the results,
// how to end, and which faults the virtual board shows.
#pragma once

#include <string>
#include <vector>

#include "sim/board_config.h"

namespace quarnsim {

struct Options {
  sim::BoardConfig board;
  std::string port_file;         // empty: print QUARNPROG_PORT=... on stdout
  std::string pel_out;           // the file the loader stored
  std::string flash_out;         // what the flash writer received (zero fill included)
  std::string image;             // compare the flash with this image at exit
  std::string transcript;        // the monitor commands, one per line with the host's speed
  std::string times;             // when the upload's frames and the feed's packets were taken
  std::vector<std::string> run;  // program and arguments to run against the board
  bool exit_after_flash = false;
  bool pace_host = false;      // host bytes reach the board 10 bit-times apart
  unsigned power_up_ms = 300;  // the board is switched on this long after start
  bool help = false;
};

// Fills `options` from argv. On a mistake returns false with `error` set.
bool parse_options(int argc, char** argv, Options& options, std::string& error);

// The --help text.
std::string usage();

// "\r", "\n", "\t", "\e", "\\" and "\xHH" in a command-line text.
std::string unescape(const std::string& text);

}  // namespace quarnsim
