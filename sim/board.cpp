// The board's clock: host bytes, time-outs, and the output queue that shows
// the host what the board will send if nothing else happens.
//
// The driver never tells the board that time passed; it only hands over host
// bytes and takes output. So every time-out (a stalled frame, an idle loader,
// the flash writer's delayed answers) is played out ahead on a copy of the
// small state (Core) and its output queued as "speculative". The next host
// byte withdraws that output, replays the time-outs that fell due before it
// for real, and only then takes the byte. Bytes the host already took from
// the speculative output come out of the replay again; they are matched and
// not queued twice.
#include "sim/board.h"

#include <algorithm>

namespace sim {

namespace {
// A run of time-outs always ends (each one moves the state on); this only
// guards against a bug turning it into a hang.
constexpr int kMaxTimeouts = 10'000;
}  // namespace

Board::Board(BoardConfig config) : config_(std::move(config)) {}

void Board::power_up(Micros at) {
  at = std::max(at, last_at_);
  last_at_ = at;
  // A power cycle cuts off whatever was still on its way.
  queue_.clear();
  popped_speculative_.clear();
  if (config_.silent) return;
  core_ = Core{};
  core_.mode = Mode::monitor;
  core_.line_free = at;
  line_.clear();
  last_line_end_ = 0;
  std::string text = config_.startup_text;
  if (config_.startup_prompt) text += ':';
  emit(text, at);
  speculate();
}

void Board::receive(std::uint8_t value, std::uint32_t host_baud, Micros at) {
  at = std::max(at, last_at_);
  last_at_ = at;
  const std::uint64_t index = host_bytes_++;
  catch_up(at);

  if (index > config_.dead_after_host_byte) core_.mode = Mode::dead;
  const auto& lost = config_.lose_host_bytes;
  const bool is_lost = std::find(lost.begin(), lost.end(), index) != lost.end();
  if (core_.mode != Mode::off && core_.mode != Mode::dead && !is_lost) {
    for (const ByteXor& fault : config_.corrupt_host_bytes) {
      if (fault.index == index) value ^= fault.mask;
    }
    settle_speed(at);
    if (host_baud != core_.speed) value = garble(value);
    switch (core_.mode) {
      case Mode::monitor:
        monitor_byte(value, host_baud, at);
        break;
      case Mode::loader:
        loader_byte(value, at);
        break;
      case Mode::flash_writer:
        writer_byte(value, at);
        break;
      default:
        break;
    }
  }
  speculate();
}

const LineByte* Board::peek_output() const {
  return queue_.empty() ? nullptr : &queue_.front().byte;
}

void Board::pop_output() {
  if (queue_.empty()) return;
  if (queue_.front().speculative) popped_speculative_.push_back(queue_.front().byte);
  queue_.pop_front();
}

std::uint32_t Board::speed() const {
  return core_.pending_speed != 0 ? core_.pending_speed : core_.speed;
}

std::uint32_t Board::speed_at(Micros at) const {
  return core_.pending_speed != 0 && at >= core_.switch_at ? core_.pending_speed : core_.speed;
}

bool Board::flash_image_equals(const std::vector<std::uint8_t>& image) const {
  const std::size_t padded = (image.size() + 63) / 64 * 64;
  if (flash_.size() != padded) return false;
  if (!std::equal(image.begin(), image.end(), flash_.begin())) return false;
  return std::all_of(flash_.begin() + static_cast<std::ptrdiff_t>(image.size()), flash_.end(),
                     [](std::uint8_t b) { return b == 0; });
}

void Board::catch_up(Micros at) {
  while (!queue_.empty() && queue_.back().speculative) queue_.pop_back();
  replay_skip_ = popped_speculative_.size();
  for (int i = 0; i < kMaxTimeouts; ++i) {
    const std::optional<Micros> due = next_deadline();
    // Bytes already taken by the host happened, whatever `at` says.
    if (!due || (*due > at && replay_skip_ == 0)) break;
    fire(*due);
  }
  replay_skip_ = 0;
  popped_speculative_.clear();
}

void Board::speculate() {
  const Core saved = core_;
  speculating_ = true;
  for (int i = 0; i < kMaxTimeouts; ++i) {
    const std::optional<Micros> due = next_deadline();
    if (!due) break;
    fire(*due);
  }
  speculating_ = false;
  core_ = saved;
}

std::optional<Micros> Board::next_deadline() const {
  std::optional<Micros> due;
  auto consider = [&due](Micros t) {
    if (!due || t < *due) due = t;
  };
  if (core_.mode == Mode::loader) {
    if (core_.rx_len > 0) consider(core_.last_rx + config_.frame_gap);
    if (config_.loader_idle_timeout > 0) consider(core_.last_rx + config_.loader_idle_timeout);
  } else if (core_.mode == Mode::flash_writer) {
    if (core_.rx_len > 0) consider(core_.last_rx + config_.frame_gap);
    if (core_.writer_phase != WriterPhase::running) consider(core_.writer_deadline);
  }
  return due;
}

// Runs the time-out due at `at`. Touches nothing but core_ (see speculate()).
void Board::fire(Micros at) {
  settle_speed(at);
  const bool stalled = core_.rx_len > 0 && core_.last_rx + config_.frame_gap <= at;
  if (core_.mode == Mode::loader) {
    if (stalled) {
      rx_stalled(at);
    } else {
      loader_give_up(at);
    }
  } else if (core_.mode == Mode::flash_writer) {
    if (stalled) {
      rx_stalled(at);
    } else {
      writer_step(at);
    }
  }
}

void Board::rx_stalled(Micros at) {
  core_.rx_len = 0;
  reply(std::string_view(&kNak, 1), at);
}

void Board::enter_monitor() {
  core_.mode = Mode::monitor;
  core_.muted = false;
  core_.rx_len = 0;
}

const std::string* Board::fault_answer(const std::vector<AnswerFault>& faults,
                                       std::vector<unsigned>& used, std::uint64_t index) {
  for (std::size_t i = 0; i < faults.size(); ++i) {
    if (faults[i].index == index && used[i] < faults[i].times) {
      ++used[i];
      return &faults[i].answer;
    }
  }
  return nullptr;
}

}  // namespace sim
