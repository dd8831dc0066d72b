// The yardstick of the unpaced benchmark: the least a host can do per packet
// of the image feed. It brings a virtual board's flash writer up by the
// shortest road (start-up prompt, a one-frame YMODEM upload, "g", the ready
// ACK), untimed, and then does nothing but write each 67-byte packet and
// wait for its one-byte answer with plain blocking calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct MinimalFeedResult {
  bool ok = false;
  std::string error;
  std::uint64_t packets = 0;
  double seconds = 0;  // the timed loop alone, as the loop itself saw it
};

MinimalFeedResult run_minimal_feed(const std::string& port, const std::vector<std::uint8_t>& image);

}  // namespace bench
