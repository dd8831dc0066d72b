#include "fuzz/peer_script.h"

#include <algorithm>

namespace fuzz {

namespace {
constexpr std::size_t kHeaderSize = 7;
}

Script decode(const std::uint8_t* data, std::size_t size) {
  Script script;
  std::uint8_t header[kHeaderSize] = {};
  std::copy_n(data, std::min(size, kHeaderSize), header);
  script.shape = header[0];
  script.pel_units = header[1];
  script.image_units = header[2];
  script.seed = header[3];
  script.fault = static_cast<Fault>(header[4] % static_cast<std::uint8_t>(Fault::count));
  script.fault_at = static_cast<std::uint16_t>(header[5] | header[6] << 8);
  std::size_t at = kHeaderSize;
  while (at + 2 <= size) {
    Chunk chunk;
    chunk.delay_code = data[at] & 0x1F;
    chunk.trigger = static_cast<std::uint8_t>(data[at] >> 5);
    const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
    chunk.bytes.assign(reinterpret_cast<const char*>(data + at + 2), length);
    script.chunks.push_back(std::move(chunk));
    at += 2 + length;
  }
  return script;
}

std::string encode(const Script& script) {
  std::string out;
  out += static_cast<char>(script.shape);
  out += static_cast<char>(script.pel_units);
  out += static_cast<char>(script.image_units);
  out += static_cast<char>(script.seed);
  out += static_cast<char>(script.fault);
  out += static_cast<char>(script.fault_at & 0xFF);
  out += static_cast<char>(script.fault_at >> 8);
  for (const Chunk& chunk : script.chunks) {
    // A chunk longer than a length byte holds goes on in chunks that follow
    // it at once.
    std::size_t from = 0;
    do {
      const std::size_t length = std::min<std::size_t>(255, chunk.bytes.size() - from);
      const std::uint8_t trigger = from == 0 ? chunk.trigger : 0;
      const std::uint8_t delay = from == 0 ? chunk.delay_code : 0;
      out += static_cast<char>(trigger << 5 | (delay & 0x1F));
      out += static_cast<char>(length);
      out += chunk.bytes.substr(from, length);
      from += length;
    } while (from < chunk.bytes.size());
  }
  return out;
}

std::uint8_t delay_code_at_most(sim::Micros delay) {
  std::uint8_t code = 0;
  while (code + 1 < delay_table.size() && delay_table[code + 1] <= delay) ++code;
  return code;
}

void Peer::attach() {
  sim::virtual_line().on_write = [this](std::string_view) { on_write(); };
  release_timed();
}

void Peer::release(sim::Micros at) {
  // The line is one queue: nothing overtakes a byte released before it.
  at = std::max(at, last_release_);
  const Chunk& chunk = chunks_[next_++];
  sim::virtual_line().send_to_host(chunk.bytes, at);
  last_release_ = at;
}

void Peer::release_timed() {
  while (next_ < chunks_.size() && chunks_[next_].trigger == 0) {
    release(last_release_ + delay_table[chunks_[next_].delay_code]);
  }
}

void Peer::on_write() {
  if (next_ >= chunks_.size()) return;
  if (++writes_seen_ < chunks_[next_].trigger) return;
  writes_seen_ = 0;
  release(sim::virtual_line().now + delay_table[chunks_[next_].delay_code]);
  release_timed();
}

}  // namespace fuzz
