// A whole run of the program against a virtual board, in-process and on the
// virtual clock: the board, the two input files in a scratch directory, and
// what the run printed and returned.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "line_fixture.h"
#include "run_helpers.h"
#include "sim/board.h"

class BoardRunTest : public LineTest {
 protected:
  void SetUp() override {
    LineTest::SetUp();
    line().timeouts = {};
    line().calls.clear();
    directory_ = std::filesystem::temp_directory_path() /
                 ("quarnprog-run-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override {
    LineTest::TearDown();
    std::filesystem::remove_all(directory_);
  }

  std::string file(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string path = (directory_ / name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string missing(const std::string& name) { return (directory_ / name).string(); }

  // A flash writer and an image of these sizes, random, in the scratch
  // directory: `pel` and `image` name them.
  void make_inputs(std::size_t pel_size, std::size_t image_size) {
    pel_bytes = random_bytes(pel_size, 1);
    image_bytes = random_bytes(image_size, 2);
    pel = file("writer.bin", pel_bytes);
    image = file("bios.img", image_bytes);
  }

  // How many of the program's writes start with `prefix`.
  std::size_t writes_starting(const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(line().writes.begin(), line().writes.end(),
                      [&](const sim::RecordedWrite& w) { return w.bytes.rfind(prefix, 0) == 0; }));
  }

  static std::vector<std::uint8_t> random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(generator());
    return bytes;
  }

  // Powers the board up and runs the program against it.
  int run_against(sim::Board& board, const std::string& pel, const std::string& image) {
    line().attach(&board);
    board.power_up(sim::millis(300));
    return run_quarnprog({pel, image});
  }

  // The monitor commands in the order the board took them.
  static std::vector<std::string> commands(const sim::Board& board) {
    std::vector<std::string> texts;
    for (const auto& command : board.commands()) texts.push_back(command.text);
    return texts;
  }

  std::vector<std::uint8_t> pel_bytes, image_bytes;
  std::string pel, image;
  std::unique_ptr<sim::Board> board;
  std::filesystem::path directory_;
};
