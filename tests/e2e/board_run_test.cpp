// The real quarnprog against the virtual board on a pseudo-terminal, the way
// a user runs it: `quarnsim --run quarnprog WRITER IMAGE`. What the board
// took (the flash writer in RAM, the flash, the monitor commands with the
// host's line speed at each) is checked from the files quarnsim writes at
// exit, and the console from quarnprog's standard output.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "scratch.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;
using e2e::Bytes;

constexpr const char* kBanner =
    "Serial port COM1 successfully reconfigured.\n"
    "Power up the target with the A23 jumper installed now\n";

// A run costs 10-20 s of the protocol's own pauses; this bounds a wedged one.
constexpr auto kRunLimit = 90s;

// Each monitor command line as the board took it: "<host baud> <text>". A
// speed command ends in two line ends, so it leaves an empty line after it;
// so does the wake-up after the raise.
const std::vector<std::string> kBringUp = {"9600 speed  38  0  ", "9600 ", "38400 ", "38400 dls"};
const std::vector<std::string> kUploadAndStart = {"38400 yload 8000:0", "38400 g 8000:0"};
const std::vector<std::string> kClosing = {"38400 db 8000:0", "38400 d"};
const std::vector<std::string> kRestore = {"38400 speed   96  0  ", "38400 "};

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The flash holds the image followed only by the zero fill of the last packet.
::testing::AssertionResult flash_holds(const Bytes& flash, const Bytes& image) {
  const std::size_t packets = (image.size() + 63) / 64;
  if (flash.size() != packets * 64) {
    return ::testing::AssertionFailure()
           << "flash has " << flash.size() << " bytes, image " << image.size();
  }
  const auto [differ, unused] = std::mismatch(image.begin(), image.end(), flash.begin());
  if (differ != image.end()) {
    return ::testing::AssertionFailure() << "first difference at " << (differ - image.begin());
  }
  if (!std::all_of(flash.begin() + static_cast<long>(image.size()), flash.end(),
                   [](std::uint8_t b) { return b == 0; })) {
    return ::testing::AssertionFailure() << "fill after the image is not zero";
  }
  return ::testing::AssertionSuccess();
}

// What is left of the console once the board has answered the restore: the
// monitor's "speed 9600" and nothing but line ends and prompts after it.
::testing::AssertionResult ends_with_restore(const std::string& console) {
  const std::size_t at = console.rfind("speed 9600");
  if (at == std::string::npos) return ::testing::AssertionFailure() << "no \"speed 9600\" answer";
  const std::string tail = console.substr(at + 10);
  if (tail.find_first_not_of("\r\n:") != std::string::npos) {
    return ::testing::AssertionFailure() << "after the restore came: " << tail;
  }
  return ::testing::AssertionSuccess();
}

class BoardRun : public ::testing::Test {
 protected:
  void SetUp() override {
    writer = e2e::random_bytes(4096, 7);
    e2e::write_file(dir / "qflash.bin", writer);
  }

  // Runs quarnprog against a fresh virtual board with `faults`.
  support::ChildResult run(const std::vector<std::string>& faults, const std::string& writer_path,
                           const std::string& image_path) {
    std::vector<std::string> argv = {QUARNSIM_BIN,   "--port-file",  dir / "port",
                                     "--flash-out",  dir / "flash",  "--pel-out",
                                     dir / "loaded", "--transcript", dir / "commands"};
    argv.insert(argv.end(), faults.begin(), faults.end());
    for (const std::string& arg :
         {std::string("--run"), std::string(QUARNPROG_BIN), writer_path, image_path}) {
      argv.push_back(arg);
    }
    return support::run_child(argv, {}, kRunLimit);
  }

  std::vector<std::string> commands() const { return lines_of(e2e::read_text(dir / "commands")); }

  e2e::ScratchDir dir;
  Bytes writer;
};

TEST_F(BoardRun, FullRunWritesTheImageAndRestoresTheLink) {
  // 64 KiB and a part packet: the packet numbers wrap four times and the last
  // packet carries the zero fill.
  const Bytes image = e2e::random_bytes(65536 + 37, 11);
  e2e::write_file(dir / "bios.img", image);

  const std::vector<std::string> faults = {"--image", dir / "bios.img"};
  const support::ChildResult result = run(faults, dir / "qflash.bin", dir / "bios.img");
  ASSERT_FALSE(result.timed_out) << result.output;
  std::cout << "[ timing ] full run took " << result.wall_s << " s\n";

  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_EQ(e2e::read_file(dir / "loaded"), writer);
  const Bytes flash = e2e::read_file(dir / "flash");
  EXPECT_TRUE(flash_holds(flash, image));
  EXPECT_EQ(commands(), concat({kBringUp, kUploadAndStart, kClosing, kRestore}));

  // quarnsim's verdict comes last, after everything quarnprog printed.
  const std::string verdict =
      "\nquarnsim: flash matches image (" + std::to_string(image.size()) + " bytes)\n";
  ASSERT_TRUE(result.output.ends_with(verdict)) << result.output;
  const std::string console = result.output.substr(0, result.output.size() - verdict.size());
  EXPECT_TRUE(console.starts_with(kBanner)) << console;
  const std::size_t startup = console.find("Quarn board monitor");
  const std::size_t loaded = console.find("Loaded 4096 bytes");
  const std::size_t written = console.find("Flash written, " + std::to_string(flash.size()));
  EXPECT_NE(startup, std::string::npos) << console;
  EXPECT_NE(loaded, std::string::npos) << console;
  EXPECT_NE(written, std::string::npos) << console;
  EXPECT_LT(startup, loaded);
  EXPECT_LT(loaded, written);
  EXPECT_TRUE(ends_with_restore(console)) << console;
}

struct FailedRun {
  const char* name;
  std::vector<std::string> faults;
  bool writer_missing;
  const char* console;                // a pattern for quarnprog's own output
  std::vector<std::string> commands;  // the monitor's transcript
  std::size_t flash_bytes;            // what reached the flash
};

void PrintTo(const FailedRun& run, std::ostream* out) {
  *out << run.name;
}

class FailedBoardRun : public BoardRun, public ::testing::WithParamInterface<FailedRun> {};

TEST_P(FailedBoardRun, StillRestoresTheLinkAndExitsWithTwo) {
  const FailedRun& c = GetParam();
  const Bytes image = e2e::random_bytes(4096, 13);
  e2e::write_file(dir / "bios.img", image);

  const support::ChildResult result =
      run(c.faults, c.writer_missing ? dir / "missing.bin" : dir / "qflash.bin", dir / "bios.img");
  ASSERT_FALSE(result.timed_out) << result.output;
  std::cout << "[ timing ] run took " << result.wall_s << " s\n";

  EXPECT_EQ(result.status, 2) << result.output;
  EXPECT_TRUE(std::regex_search(result.output, std::regex(c.console))) << result.output;
  EXPECT_EQ(commands(), c.commands);
  const Bytes flash = e2e::read_file(dir / "flash");
  EXPECT_EQ(flash.size(), c.flash_bytes);
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.begin()));
  EXPECT_TRUE(ends_with_restore(result.output)) << result.output;
}

INSTANTIATE_TEST_SUITE_P(Faults, FailedBoardRun,
                         ::testing::Values(
                             // The flash writer gives up on the third packet: two packets are in
                             // the flash, and "db"/"d" and the restore still go to the monitor.
                             FailedRun{"WriterAbandons",
                                       {"--esc-at-packet", "3"},
                                       false,
                                       "R+\\*R+\\*R+\\|",  // two packets taken, the third refused
                                       concat({kBringUp, kUploadAndStart, kClosing, kRestore}),
                                       128},
                             // Nothing to upload: no "yload", no "g", nothing for "db"/"d" to
                             // show, but the link is still brought back to 9600 baud.
                             FailedRun{"WriterFileMissing",
                                       {},
                                       true,
                                       "Error opening file: process aborted\n",
                                       concat({kBringUp, kRestore}),
                                       0}),
                         [](const ::testing::TestParamInfo<FailedRun>& info) {
                           return info.param.name;
                         });

}  // namespace
