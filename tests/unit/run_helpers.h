// Running the whole program in-process, over the virtual line.
#pragma once

#include <string>
#include <vector>

#include "driver/quarnprog.h"

// Calls the program's main with these arguments (the program's name is added).
inline int run_quarnprog(std::vector<std::string> args) {
  args.insert(args.begin(), "quarnprog");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return quarnprog_main(static_cast<int>(args.size()), argv.data());
}

inline const char* const banner =
    "Serial port COM1 successfully reconfigured.\n"
    "Power up the target with the A23 jumper installed now\n";
