// The flash writer that "g" starts: it announces itself, erases, signals
// ready, then takes the image in 67-byte packets until EOT.
#include <algorithm>

#include "sim/board.h"
#include "sim/checksums.h"

namespace sim {

namespace {
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::size_t kData = 64;

bool holds_esc(std::string_view bytes) {
  return bytes.find(kEsc) != std::string_view::npos;
}
}  // namespace

void Board::enter_writer(Micros at) {
  core_.mode = Mode::flash_writer;
  core_.writer_phase = WriterPhase::announcing;
  core_.writer_deadline = at + config_.flash_first_answer_delay;
  core_.writer_abandoned = false;
  core_.rx_len = 0;
  core_.last_rx = at;
  core_.muted = false;
  line_.clear();
  last_line_end_ = 0;
  last_serial_ = 0;
  flash_fault_uses_.assign(config_.flash_answers.size(), 0);
  flash_.clear();
  flash_finished_ = false;
}

// Time-out: the first answer, then the ready signal. Touches core_ only.
void Board::writer_step(Micros at) {
  if (core_.writer_phase == WriterPhase::announcing) {
    const Micros done = emit(config_.flash_first_answer, at);
    if (holds_esc(config_.flash_first_answer)) {
      writer_abandon("\r\nFlash writer aborted\r\n", done);
      return;
    }
    core_.writer_phase = WriterPhase::erasing;
    core_.writer_deadline = done + config_.flash_ready_delay;
  } else {
    std::string ready = config_.flash_before_ready;
    if (config_.flash_ready_ack) ready += kAck;
    emit(ready, at);
    core_.writer_phase = WriterPhase::running;
  }
}

void Board::writer_byte(std::uint8_t value, Micros at) {
  // The rest of the "g" command's line end ("\n\r") arrives after the writer
  // has started; before its first packet a line end is no packet.
  if (core_.rx_len == 0 && flash_.empty() && (value == '\r' || value == '\n')) return;
  if (core_.rx_len == 0 && value == kEot) {
    writer_eot(at);
    return;
  }
  // Any other byte starts a packet, so a packet with a damaged SOH still
  // gets its NAK.
  core_.last_rx = at;
  core_.rx[core_.rx_len++] = value;
  if (core_.rx_len == kPacketSize) {
    core_.rx_len = 0;
    writer_packet(at);
  }
}

void Board::writer_packet(Micros at) {
  const std::uint8_t* packet = core_.rx.data();
  const std::uint8_t* data = packet + 2;
  if (packet[0] != kSoh || sum8(data, kData) != packet[66]) {
    reply(std::string_view(&kNak, 1), at);
    return;
  }
  const std::uint8_t serial = packet[1];
  const std::uint64_t taken = flash_.size() / kData;
  const bool is_new = serial == static_cast<std::uint8_t>(last_serial_ + 1);
  if (!is_new && serial != last_serial_) {
    reply(std::string_view(&kEsc, 1), at);
    writer_abandon("\r\nSequence error, flash writer abandoned\r\n", at + config_.answer_latency);
    return;
  }
  const std::uint64_t index = is_new ? taken + 1 : taken;
  if (index >= config_.flash_silent_from_packet) core_.muted = true;
  if (const std::string* fault = fault_answer(config_.flash_answers, flash_fault_uses_, index)) {
    reply(*fault, at);
    if (holds_esc(*fault))
      writer_abandon("\r\nFlash writer abandoned\r\n", at + config_.answer_latency);
    return;
  }
  if (is_new) {
    flash_.insert(flash_.end(), data, data + kData);
    last_serial_ = serial;
  }
  reply(std::string_view(&kAck, 1), at);  // a repeat (our ACK got lost) is dropped
}

void Board::writer_eot(Micros at) {
  flash_finished_ = true;
  if (config_.flash_eot_ack) reply(std::string_view(&kAck, 1), at);
  std::string text = "\r\nFlash written, " + std::to_string(flash_.size()) + " bytes\r\n";
  if (config_.prompts) text += ':';
  reply(text, at);
  enter_monitor();
}

// Back to the monitor with a message and its prompt. Touches core_ only.
void Board::writer_abandon(std::string_view why, Micros at) {
  core_.writer_abandoned = true;
  std::string text(why);
  if (config_.prompts) text += ':';
  emit(text, at);
  enter_monitor();
}

}  // namespace sim
