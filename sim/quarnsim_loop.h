// The real-time loop that joins the virtual board to the pseudo-terminal.
#pragma once

#include <sys/types.h>

#include "sim/board.h"
#include "sim/quarnsim_pty.h"

namespace quarnsim {

struct LoopSettings {
  unsigned power_up_ms = 0;
  bool pace_host = false;         // host bytes reach the board 10 bit-times apart
  bool exit_after_flash = false;  // see LoopResult::run_over
  pid_t child = -1;               // program run against the board, if any
};

struct LoopResult {
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
