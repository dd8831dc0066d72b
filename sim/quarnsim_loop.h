// The real-time loop that joins the virtual board to the pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <vector>

#include "sim/board.h"
#include "sim/quarnsim_pty.h"

namespace quarnsim {

struct LoopSettings {
  unsigned power_up_ms = 0;
  bool pace_host = false;         // host bytes reach the board 10 bit-times apart
  bool exit_after_flash = false;  // see LoopResult::run_over
  pid_t child = -1;               // program run against the board, if any
};

// When the board took the first and the last of a run of frames or packets,
// in board time (the arrival of each one's last byte). Between the two lie
// count - 1 whole exchanges, which is what a throughput figure wants.
struct TakenTimes {
  std::uint64_t count = 0;
  sim::Micros first_at = 0;
  sim::Micros last_at = 0;
  std::vector<sim::Micros> gaps;  // between one and the next, in order
};

struct LoopResult {
  TakenTimes frames;   // the last YMODEM upload, header and end frame included
  TakenTimes packets;  // the last flash writer feed
  bool child_exited = false;
  int child_status = 0;   // as waitpid gives it
  bool run_over = false;  // back at 9600 after running faster, all sent, host quiet 2 s
};

// Runs until SIGINT/SIGTERM/SIGHUP arrives on `signal_fd` (a signalfd that
// also carries SIGCHLD), the child exits, or, with exit_after_flash, the run
// is over. Sleeps in ppoll until the next host byte or the next board byte
// due; never spins.
LoopResult run_loop(sim::Board& board, const Pty& pty, int signal_fd, const LoopSettings& settings);

}  // namespace quarnsim
