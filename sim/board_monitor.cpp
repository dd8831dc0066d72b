// The monitor: collects command lines and answers them, always ending with
// its prompt ':' (unless a fault says otherwise).
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "sim/board.h"

namespace sim {

namespace {

std::vector<std::string> split_blanks(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool parse_hex(std::string_view text, std::uint32_t& value) {
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int digit = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

// "SEG:OFF" or "SEG" (offset 0), both hexadecimal.
bool parse_address(const std::vector<std::string>& words, std::uint32_t& segment,
                   std::uint32_t& offset) {
  if (words.size() < 2) return false;
  const std::string& text = words[1];
  const std::size_t colon = text.find(':');
  offset = 0;
  if (colon == std::string::npos) return parse_hex(text, segment);
  return parse_hex(std::string_view(text).substr(0, colon), segment) &&
         parse_hex(std::string_view(text).substr(colon + 1), offset);
}

// "38" means 38400 and so on; the full number works too.
std::uint32_t parse_speed(const std::vector<std::string>& words) {
  if (words.size() < 2) return 0;
  static constexpr std::uint32_t kSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  for (std::uint32_t speed : kSpeeds) {
    // The monitor's short form drops the last two or three digits:
    // "96" is 9600, "38" is 38400, "115" is 115200.
    const std::string full = std::to_string(speed);
    const std::string short_form = std::to_string(speed < 10000 ? speed / 100 : speed / 1000);
    if (words[1] == full || words[1] == short_form) return speed;
  }
  return 0;
}

}  // namespace

void Board::monitor_byte(std::uint8_t value, std::uint32_t host_baud, Micros at) {
  if (value == '\r' || value == '\n') {
    if (last_line_end_ != 0 && last_line_end_ != value) {
      last_line_end_ = 0;  // second half of a CR LF or LF CR pair
      return;
    }
    last_line_end_ = value;
    std::string text = std::move(line_);
    line_.clear();
    commands_.push_back(Command{at, host_baud, text});
    run_command(text, at);
    return;
  }
  last_line_end_ = 0;
  if ((value < 0x20 && value != '\t') || value == 0x7F) return;
  if (line_.size() < 256) line_ += static_cast<char>(value);
}

void Board::run_command(const std::string& text, Micros at) {
  const std::vector<std::string> words = split_blanks(text);
  const std::string word = words.empty() ? std::string() : lower(words[0]);
  std::uint32_t segment = 0;
  std::uint32_t offset = 0;

  if (word.empty()) {
    answer(word, "\r\n", at);
  } else if (word == "speed") {
    if (config_.ignore_speed) {
      answer(word, "\r\n", at);
      return;
    }
    const std::uint32_t speed = parse_speed(words);
    if (speed == 0) {
      answer(word, "\r\nBad speed\r\n", at);
      return;
    }
    answer(word, "\r\nspeed " + std::to_string(speed) + "\r\n", at);
    if (speed != core_.speed) {
      core_.pending_speed = speed;
      core_.switch_at = std::max(at, core_.line_free);
    } else {
      core_.pending_speed = 0;
    }
  } else if (word == "dls") {
    std::string rest;
    if (config_.dls_answer) {
      rest = *config_.dls_answer;
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, " %X\r\n", config_.dls_segment);
      rest = hex;
      if (config_.prompts) rest += ':';
    }
    const std::string head = "\r\nDLS:";
    const std::size_t pause_before = config_.dls_pause_before == std::string::npos
                                         ? std::string::npos
                                         : head.size() + config_.dls_pause_before;
    answer(word, head + rest, at, false, pause_before, config_.dls_pause);
  } else if (word == "yload") {
    if (!parse_address(words, segment, offset)) {
      answer(word, "\r\nBad address\r\n", at);
      return;
    }
    answer(word, "\r\nYMODEM receive\r\n", at, false);
    enter_loader(segment, offset, at);
  } else if (word == "g") {
    if (!parse_address(words, segment, offset)) {
      answer(word, "\r\nBad address\r\n", at);
    } else if (!loaded_complete_ || segment != loaded_segment_ || offset != loaded_offset_) {
      answer(word, "\r\nNo program loaded at that address\r\n", at);
    } else {
      enter_writer(at);
    }
  } else if (word == "db") {
    if (!parse_address(words, segment, offset)) {
      answer(word, "\r\nBad address\r\n", at);
      return;
    }
    dump_segment_ = segment;
    dump_offset_ = offset;
    dump(word, at);
  } else if (word == "d") {
    dump(word, at);
  } else {
    answer(word, "\r\nUnknown command\r\n", at);
  }
}

void Board::answer(std::string_view word, std::string_view text, Micros at, bool prompt,
                   std::size_t pause_before, Micros pause) {
  auto matches = [word](const std::optional<std::string>& which) {
    return which && (*which == word || *which == "*");
  };
  if (matches(config_.missing_answer_command)) return;
  Micros ready = at + config_.answer_latency;
  if (matches(config_.slow_command)) ready += config_.slow_answer_delay;
  std::string full = config_.garbage_before_answers;
  full += text;
  if (prompt && config_.prompts) full += ':';
  if (pause_before == std::string::npos || pause_before >= text.size()) {
    emit(full, ready);
    return;
  }
  const std::size_t split = config_.garbage_before_answers.size() + pause_before;
  const Micros done = emit(std::string_view(full).substr(0, split), ready);
  emit(std::string_view(full).substr(split), done + pause);
}

// Eight rows of 16 bytes, "SSSS:OOOO  XX XX ..  text", as debug monitors do.
void Board::dump(std::string_view word, Micros at) {
  const std::uint32_t file_start = loaded_segment_ * 16 + loaded_offset_;
  std::string text;
  char cell[32];
  for (int row = 0; row < 8; ++row) {
    std::snprintf(cell, sizeof cell, "\r\n%04X:%04X ", dump_segment_ & 0xFFFF,
                  dump_offset_ & 0xFFFF);
    text += cell;
    std::string printable;
    for (int column = 0; column < 16; ++column) {
      const std::uint32_t linear =
          dump_segment_ * 16 + dump_offset_ + static_cast<std::uint32_t>(column);
      const std::uint32_t index = linear - file_start;
      const std::uint8_t byte =
          linear >= file_start && index < loaded_file_.size() ? loaded_file_[index] : 0;
      std::snprintf(cell, sizeof cell, " %02X", byte);
      text += cell;
      printable += (byte >= 0x20 && byte < 0x7F) ? static_cast<char>(byte) : '.';
    }
    text += "  " + printable;
    dump_offset_ += 16;
  }
  text += "\r\n";
  answer(word, text, at);
}

}  // namespace sim
