// Helpers for the tests of the two file senders: a target that answers each
// transmission from a table, a temporary working directory for the files they
// send, a bitwise CRC to check the frames against, and a way to make the
// kernel fail the reads of a file that a sender already has open.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sim/virtual_line.h"

// One answer of the target: `bytes` reach the host `delay` after the write.
struct Reply {
  std::string bytes;
  sim::Micros delay = sim::millis(1);
};

// Answers the host's writes by their size: the nth write (from 1) of a size
// gets replies[n - 1], and every later one gets `rest`. An empty reply is
// silence. Writes of a size without a table get no answer.
class ScriptedTarget {
 public:
  void answer(std::size_t size, std::vector<Reply> replies, Reply rest = {}) {
    tables_[size] = {std::move(replies), std::move(rest), 0};
  }

  // Also called after each write with its bytes and its number among the
  // writes of its size, before the reply is scheduled.
  std::function<void(std::string_view bytes, int nth)> on_each_write;

  // Connects to the current virtual line (a fresh line needs it again).
  void attach() {
    sim::virtual_line().on_write = [this](std::string_view bytes) {
      auto table = tables_.find(bytes.size());
      int nth = 0;
      if (table != tables_.end()) nth = ++table->second.seen;
      if (on_each_write) on_each_write(bytes, nth);
      if (table == tables_.end()) return;
      const Table& t = table->second;
      const Reply& reply = nth <= static_cast<int>(t.replies.size())
                               ? t.replies[static_cast<std::size_t>(nth - 1)]
                               : t.rest;
      sim::VirtualLine& line = sim::virtual_line();
      if (!reply.bytes.empty()) line.send_to_host(reply.bytes, line.now + reply.delay);
    };
  }

 private:
  struct Table {
    std::vector<Reply> replies;
    Reply rest;
    int seen;
  };
  std::map<std::size_t, Table> tables_;
};

// A fresh directory that is the working directory while the object lives, so
// that the senders can be given short relative paths.
class TempWorkDir {
 public:
  TempWorkDir() : previous_(std::filesystem::current_path()) {
    std::string name = (std::filesystem::temp_directory_path() / "quarnprog-test-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
    std::filesystem::current_path(path_);
  }
  ~TempWorkDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempWorkDir(const TempWorkDir&) = delete;
  TempWorkDir& operator=(const TempWorkDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// `size` bytes in which every byte value occurs, control bytes included.
inline std::string pattern_bytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 37 + 11) & 0xFF);
  return bytes;
}

// CRC-16/XMODEM bit by bit, straight from its definition.
inline std::uint16_t reference_crc(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (char c : bytes) {
    crc ^= static_cast<std::uint16_t>(static_cast<std::uint8_t>(c) << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

// Checks one 133-byte frame on the wire: SOH, block, complement, data and a
// CRC over the data alone, high byte first.
inline void expect_frame(const std::string& wire, int block, const std::string& data) {
  ASSERT_EQ(wire.size(), 133u);
  EXPECT_EQ(wire[0], '\x01');
  EXPECT_EQ(static_cast<std::uint8_t>(wire[1]), block);
  EXPECT_EQ(static_cast<std::uint8_t>(wire[2]), 255 - block);
  EXPECT_EQ(wire.substr(3, 128), data) << "block " << block;
  const std::uint16_t crc = reference_crc(data);
  EXPECT_EQ(static_cast<std::uint8_t>(wire[131]), crc >> 8) << "block " << block;
  EXPECT_EQ(static_cast<std::uint8_t>(wire[132]), crc & 0xFF) << "block " << block;
}

// The open descriptors of this process on `file`.
inline std::vector<int> descriptors_on(const std::filesystem::path& file) {
  std::vector<int> found;
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(file, error);
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code link_error;
    if (std::filesystem::read_symlink(entry.path(), link_error) == target) {
      found.push_back(std::stoi(entry.path().filename().string()));
    }
  }
  return found;
}

// Makes every later read of `file` through the descriptors already open on it
// fail (EISDIR), as a failing disk would, while the stream itself stays valid.
inline void break_reads_of(const std::filesystem::path& file) {
  const std::vector<int> open = descriptors_on(file);
  ASSERT_FALSE(open.empty()) << file << " is not open";
  const int directory = ::open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  for (int fd : open) ASSERT_EQ(::dup2(directory, fd), fd);
  ::close(directory);
}
