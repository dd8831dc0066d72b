#include "sim/virtual_line.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <stdexcept>

namespace sim {
namespace {

std::unique_ptr<VirtualLine> the_line = std::make_unique<VirtualLine>();
DWORD last_error = 0;
HANDLE const the_handle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x5eed));
constexpr DWORD error_invalid_handle = 6;

bool fail(DWORD error) {
  last_error = error;
  return false;
}

bool valid(HANDLE handle) {
  return handle == the_handle;
}

}  // namespace

VirtualLine::VirtualLine() {
  // A port as Windows hands it over: 9600 8N1, no flow control, NULs kept.
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
}

void VirtualLine::send_to_host(std::string_view bytes, Micros at) {
  for (char c : bytes) input_.push_back({at, static_cast<std::uint8_t>(c), 0});
}

std::string VirtualLine::all_written() const {
  std::string all;
  for (const RecordedWrite& write : writes) all += write.bytes;
  return all;
}

std::vector<std::uint64_t> VirtualLine::sleeps() const {
  std::vector<std::uint64_t> result;
  for (const RecordedCall& call : calls) {
    if (call.name == "Sleep") result.push_back(call.value);
  }
  return result;
}

Micros VirtualLine::read_timeout() const {
  const Micros total = timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant;
  // All-zero time-outs mean a read waits for its byte however long it takes.
  if (total == 0 && timeouts.ReadIntervalTimeout == 0) return std::numeric_limits<Micros>::max();
  return millis(total);
}

const LineByte* VirtualLine::next_input() const {
  const LineByte* scripted = input_.empty() ? nullptr : &input_.front();
  const LineByte* from_board = board_ ? board_->peek_output() : nullptr;
  if (scripted && from_board) return from_board->at < scripted->at ? from_board : scripted;
  return scripted ? scripted : from_board;
}

void VirtualLine::pop_input(const LineByte* taken) {
  if (!input_.empty() && taken == &input_.front()) {
    input_.pop_front();
  } else {
    board_->pop_output();
  }
}

bool VirtualLine::read_byte(std::uint8_t* byte, DWORD* error) {
  ++reads;
  *error = 0;
  auto fault = read_faults.find(reads);
  if (fault != read_faults.end()) *error = fault->second.error;
  const bool deliver = *error == 0 || fault->second.with_byte;

  const Micros timeout = read_timeout();
  const LineByte* next = deliver ? next_input() : nullptr;
  if (next && (next->at <= now || next->at - now <= timeout)) {
    if (next->at > now) now = next->at;
    const bool garbled = next->baud != 0 && next->baud != dcb.BaudRate;
    *byte = garbled ? garble(next->value) : next->value;
    received.push_back({next->at, *byte, next->baud});
    pop_input(next);
    return true;
  }
  if (timeout == std::numeric_limits<Micros>::max()) {
    throw std::logic_error("a read without time-out would wait forever on a silent line");
  }
  now += timeout;
  ++empty_reads;
  return false;
}

void VirtualLine::write_bytes(const std::uint8_t* bytes, std::size_t count) {
  writes.push_back({now, dcb.BaudRate, std::string(reinterpret_cast<const char*>(bytes), count)});
  Micros at = now;
  if (pace_host_output && host_line_free_at_ > at) at = host_line_free_at_;
  for (std::size_t i = 0; i < count; ++i) {
    if (pace_host_output) at += byte_time(dcb.BaudRate);
    if (board_) board_->receive(bytes[i], dcb.BaudRate, at);
  }
  host_line_free_at_ = at;
  record("WriteFile", writes.size() - 1);
  if (on_write) on_write(writes.back().bytes);
}

VirtualLine& virtual_line() {
  return *the_line;
}

void reset_virtual_line() {
  the_line = std::make_unique<VirtualLine>();
  last_error = 0;
}

}  // namespace sim

using sim::virtual_line;

HANDLE CreateFileA(LPCSTR file_name, DWORD, DWORD share_mode, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                   HANDLE) {
  sim::VirtualLine& line = virtual_line();
  line.record("CreateFileA");
  line.created_name = file_name;
  line.created_share_mode = share_mode;
  if (line.create_error != 0) {
    sim::fail(line.create_error);
    return INVALID_HANDLE_VALUE;
  }
  return sim::the_handle;
}

BOOL GetCommState(HANDLE port, LPDCB dcb) {
  sim::VirtualLine& line = virtual_line();
  line.record("GetCommState");
  if (!sim::valid(port)) return sim::fail(sim::error_invalid_handle);
  if (line.get_state_error != 0) return sim::fail(line.get_state_error);
  *dcb = line.dcb;
  return true;
}

BOOL SetCommState(HANDLE port, LPDCB dcb) {
  sim::VirtualLine& line = virtual_line();
  line.record("SetCommState", dcb->BaudRate);
  if (!sim::valid(port)) return sim::fail(sim::error_invalid_handle);
  if (line.set_state_error != 0) return sim::fail(line.set_state_error);
  line.dcb = *dcb;
  return true;
}

BOOL GetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
  sim::VirtualLine& line = virtual_line();
  line.record("GetCommTimeouts");
  if (!sim::valid(port)) return sim::fail(sim::error_invalid_handle);
  if (line.get_timeouts_error != 0) return sim::fail(line.get_timeouts_error);
  *timeouts = line.timeouts;
  return true;
}

BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts) {
  sim::VirtualLine& line = virtual_line();
  line.record("SetCommTimeouts");
  if (!sim::valid(port)) return sim::fail(sim::error_invalid_handle);
  if (line.set_timeouts_error != 0) return sim::fail(line.set_timeouts_error);
  line.timeouts = *timeouts;
  return true;
}

BOOL ReadFile(HANDLE port, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read, LPOVERLAPPED) {
  *bytes_read = 0;
  if (!sim::valid(port)) return sim::fail(sim::error_invalid_handle);
  if (bytes_to_read != 1) throw std::logic_error("the program reads one byte at a time");
  DWORD error = 0;
  if (virtual_line().read_byte(static_cast<std::uint8_t*>(buffer), &error)) *bytes_read = 1;
  return error == 0 ? true : sim::fail(error);
}

BOOL WriteFile(HANDLE port, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED) {
  sim::VirtualLine& line = virtual_line();
  *bytes_written = 0;
  if (!sim::valid(port)) return sim::fail(sim::error_invalid_handle);
  const std::uint64_t number = line.writes.size() + 1;
  auto fault = line.write_faults.find(number);
  std::size_t count = bytes_to_write;
  if (fault != line.write_faults.end()) {
    if (fault->second.count < 0) {
      line.writes.push_back({line.now, line.dcb.BaudRate, ""});  // keeps the numbering
      return sim::fail(fault->second.error);
    }
    // A short write moves fewer bytes than asked, never more: a count
    // meant for a longer write cuts a short one to what it has.
    count = std::min(count, static_cast<std::size_t>(fault->second.count));
  }
  line.write_bytes(static_cast<const std::uint8_t*>(buffer), count);
  *bytes_written = static_cast<DWORD>(count);
  return true;
}

DWORD GetLastError() {
  return sim::last_error;
}

void Sleep(DWORD milliseconds) {
  sim::VirtualLine& line = virtual_line();
  line.record("Sleep", milliseconds);
  line.now += sim::millis(milliseconds);
}

BOOL CloseHandle(HANDLE port) {
  return sim::valid(port) ? true : sim::fail(sim::error_invalid_handle);
}
