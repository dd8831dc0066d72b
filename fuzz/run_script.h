// One whole run of quarnprog as a fuzz input describes it: the input files
// made in a scratch directory of the process, the platform fault set on a
// fresh virtual line, the scripted peer attached, and quarnprog_main called.
#pragma once

#include <cstdint>
#include <string>

#include "fuzz/peer_script.h"

namespace fuzz {

struct RunOutcome {
  int status = -1;
  sim::Micros ended_at = 0;      // virtual time when quarnprog_main returned
  sim::Micros last_release = 0;  // arrival time of the peer's last byte released
  std::uint64_t writes = 0;
  std::size_t largest_write = 0;
};

// Makes the scratch directory (once per process) and returns its path.
const std::string& scratch_directory();

// With a board, the run talks to it instead of the script's peer (to make
// seeds from real conversations); the script's chunks are then not used.
RunOutcome run_script(const Script& script, sim::Board* board = nullptr);

}  // namespace fuzz
