// What quarnsim leaves behind at exit: the stored files, the command
// transcript and the comparison of the flash with the expected image.
#pragma once

#include "sim/board.h"
#include "sim/quarnsim_loop.h"
#include "sim/quarnsim_options.h"

namespace quarnsim {

// Writes the files the options ask for and prints the image comparison.
// Returns false when --image was given and the flash differs from it (or a
// file could not be read or written; a message on stderr says which).
bool write_report(const sim::Board& board, const Options& options);

// Writes the --times file: "frames N FIRST_US LAST_US MEDIAN_GAP_US" and
// "packets N FIRST_US LAST_US MEDIAN_GAP_US". Returns false (with a message)
// when it cannot.
bool write_times(const std::string& path, const LoopResult& result);

}  // namespace quarnsim
