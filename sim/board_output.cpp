// Putting the board's bytes on the line: pacing at the board's own speed, the
// deferred speed switch, silence faults and replaced output bytes.
#include <algorithm>

#include "sim/board.h"

namespace sim {

// A speed switch waits until everything decided before it is on the line,
// the way a monitor lets its UART drain before it reprograms the divisor.
void Board::settle_speed(Micros at) {
  if (core_.pending_speed != 0 && at >= core_.switch_at) {
    core_.speed = core_.pending_speed;
    core_.pending_speed = 0;
  }
}

Micros Board::emit(std::string_view bytes, Micros ready) {
  if (core_.muted || core_.mode == Mode::dead) return ready;
  const Micros duration = config_.pace_output ? byte_time(core_.speed) : 0;
  for (char c : bytes) {
    const Micros at = std::max(ready, core_.line_free) + duration;
    core_.line_free = at;
    auto value = static_cast<std::uint8_t>(c);
    const std::uint64_t index = core_.sent++;
    for (const ByteReplace& fault : config_.replace_board_bytes) {
      if (fault.index == index) value = fault.value;
    }
    push(LineByte{at, value, core_.speed});
    if (core_.pending_speed != 0) core_.switch_at = std::max(core_.switch_at, at);
  }
  return std::max(ready, core_.line_free);
}

void Board::push(LineByte byte) {
  if (replay_skip_ > 0) {
    // The host has this one already (it came out of an earlier look ahead).
    --replay_skip_;
    return;
  }
  queue_.push_back(Entry{byte, speculating_});
}

// Answers of the loader and the flash writer: after the usual latency.
void Board::reply(std::string_view bytes, Micros at) {
  if (!core_.muted && core_.mode != Mode::dead) {
    core_.naks += static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), kNak));
  }
  emit(bytes, at + config_.answer_latency);
}

}  // namespace sim
