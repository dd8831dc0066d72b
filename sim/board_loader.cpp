// The monitor's YMODEM loader: the receiving end of a one-file batch.
#include <algorithm>
#include <cctype>

#include "sim/board.h"
#include "sim/checksums.h"

namespace sim {

namespace {
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::size_t kData = 128;
}  // namespace

void Board::enter_loader(std::uint32_t segment, std::uint32_t offset, Micros at) {
  core_.mode = Mode::loader;
  core_.loader_phase = LoaderPhase::header;
  core_.rx_len = 0;
  core_.last_rx = at;
  core_.muted = false;
  line_.clear();
  last_line_end_ = 0;
  load_segment_ = segment;
  load_offset_ = offset;
  expected_block_ = 1;
  data_frames_ = 0;
  loader_eots_ = 0;
  header_name_.clear();
  header_length_.reset();
  upload_.clear();
  loader_fault_uses_.assign(config_.loader_answers.size(), 0);
  frames_taken_ = 0;
  loader_eots_acked_ = 0;
  upload_finished_ = false;
  // Real receivers ask with 'C' for CRC frames; our sender does not wait for
  // it, it only shows up in the host's echo.
  if (config_.loader_sends_c) reply("C", at);
}

void Board::loader_byte(std::uint8_t value, Micros at) {
  core_.last_rx = at;
  if (core_.rx_len == 0) {
    if (value == kEot) {
      loader_eot(at);
    } else if (value == kSoh) {
      core_.rx[core_.rx_len++] = value;
    }
    return;  // anything else between frames is line noise
  }
  core_.rx[core_.rx_len++] = value;
  if (core_.rx_len == kFrameSize) {
    core_.rx_len = 0;
    loader_frame(at);
  }
}

void Board::loader_frame(Micros at) {
  const std::uint8_t* frame = core_.rx.data();
  const std::uint8_t* data = frame + 3;
  const std::uint16_t crc = static_cast<std::uint16_t>(frame[131] << 8 | frame[132]);
  if (frame[2] != static_cast<std::uint8_t>(255 - frame[1]) || crc16_xmodem(data, kData) != crc) {
    reply(std::string_view(&kNak, 1), at);
    return;
  }
  const std::uint8_t block = frame[1];
  const auto previous = static_cast<std::uint8_t>(expected_block_ - 1);
  enum class Kind { header, data, repeat, end } kind;
  std::uint64_t index = 0;
  if (core_.loader_phase == LoaderPhase::header) {
    if (block != 0) {
      reply(std::string_view(&kNak, 1), at);
      return;
    }
    // A header with an empty name is the null frame: the batch is over.
    kind = data[0] == 0 ? Kind::end : Kind::header;
    index = 0;
  } else if (core_.loader_phase == LoaderPhase::data && block == expected_block_) {
    kind = Kind::data;
    index = data_frames_ + 1;
  } else if (core_.loader_phase == LoaderPhase::after_eot && block == 0) {
    kind = Kind::end;
    index = data_frames_ + 1;
  } else if (block == previous) {
    kind = Kind::repeat;  // our ACK got lost: take it again, store it once
    index = data_frames_;
  } else {
    reply(std::string_view(&kNak, 1), at);  // out of order: keep waiting for ours
    return;
  }

  if (index >= config_.loader_silent_from_frame) core_.muted = true;
  if (const std::string* fault = fault_answer(config_.loader_answers, loader_fault_uses_, index)) {
    reply(*fault, at);
    return;
  }

  switch (kind) {
    case Kind::header: {
      const auto name_end = std::find(data, data + kData, 0);
      header_name_.assign(data, name_end);
      std::uint64_t length = 0;
      bool digits = false;
      for (const std::uint8_t* p = name_end + 1; p < data + kData && std::isdigit(*p); ++p) {
        length = length * 10 + (*p - '0');
        digits = true;
      }
      if (digits) header_length_ = length;
      core_.loader_phase = LoaderPhase::data;
      expected_block_ = 1;
      ++frames_taken_;
      reply(std::string_view(&kAck, 1), at);
      break;
    }
    case Kind::data:
      upload_.insert(upload_.end(), data, data + kData);
      ++expected_block_;
      ++data_frames_;
      ++frames_taken_;
      reply(std::string_view(&kAck, 1), at);
      break;
    case Kind::repeat:
      reply(std::string_view(&kAck, 1), at);
      break;
    case Kind::end:
      ++frames_taken_;
      reply(std::string_view(&kAck, 1), at);
      loader_finish(at);
      break;
  }
}

void Board::loader_eot(Micros at) {
  ++loader_eots_;
  if (loader_eots_ == 1 && config_.loader_nak_first_eot) {
    reply(std::string_view(&kNak, 1), at);
    return;
  }
  ++loader_eots_acked_;
  core_.loader_phase = LoaderPhase::after_eot;
  reply(std::string_view(&kAck, 1), at);
}

void Board::loader_finish(Micros at) {
  upload_finished_ = true;
  std::string text;
  if (header_name_.empty()) {
    text = "\r\nNothing loaded\r\n";
  } else {
    std::vector<std::uint8_t> file = upload_;
    if (header_length_ && file.size() > *header_length_) file.resize(*header_length_);
    loaded_complete_ = !header_length_ || upload_.size() >= *header_length_;
    loaded_file_ = std::move(file);
    loaded_name_ = header_name_;
    loaded_segment_ = load_segment_;
    loaded_offset_ = load_offset_;
    if (loaded_complete_) {
      text = "\r\nLoaded " + std::to_string(loaded_file_.size()) + " bytes\r\n";
    } else {
      text = "\r\nIncomplete download, " + std::to_string(loaded_file_.size()) + " of " +
             std::to_string(*header_length_) + " bytes\r\n";
    }
  }
  if (config_.prompts) text += ':';
  reply(text, at);
  enter_monitor();
}

// Time-out: touches core_ only.
void Board::loader_give_up(Micros at) {
  std::string text = "\r\nYMODEM receive timed out\r\n";
  if (config_.prompts) text += ':';
  reply(text, at);
  enter_monitor();
}

}  // namespace sim
