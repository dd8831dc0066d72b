// Port problems met by the whole program, on ports of the test's own: a port
// path that is a directory, and a port whose far side goes away mid-run (the
// board's end of the pseudo-terminal closes). The second kind must end the
// run within the protocol's own bounds, with messages, without spinning.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;

class ScratchDir {
 public:
  ScratchDir() {
    std::string name = (std::filesystem::temp_directory_path() / "quarnprog-port-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void write_bytes(const std::string& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>(i * 7 + 3));
}

// CPU time (user + system) a running process has used so far, from
// /proc/PID/stat (fields 14 and 15, in clock ticks).
double cpu_seconds_so_far(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(PortFaults, PortPathThatIsADirectoryEndsTheRunWithOne) {
  ScratchDir dir;
  std::filesystem::create_directory(dir / "port");
  support::ChildProcess program({QUARNPROG_BIN, dir / "qflash.bin", dir / "bios.img"},
                                {.env = {{"QUARNPROG_PORT", dir / "port"}}});
  const support::ChildResult ended = program.finish(10s);
  ASSERT_TRUE(ended.exited) << program.output();
  EXPECT_EQ(ended.status, 1);
  EXPECT_EQ(program.output(), "CreateFile failed with error 21.\n");  // EISDIR
}

struct Vanishing {
  const char* stage;
  const char* wait_for;  // console text that shows the stage has begun
  const char* message;   // what the program says about the lost port
};

void PrintTo(const Vanishing& c, std::ostream* out) {
  *out << c.stage;
}

class PortVanishes : public ::testing::TestWithParam<Vanishing> {};

TEST_P(PortVanishes, RunEndsWithinItsBoundsWithMessagesAndWithoutSpinning) {
  const Vanishing& c = GetParam();
  ScratchDir dir;
  write_bytes(dir / "qflash.bin", 2 * 1024);
  write_bytes(dir / "bios.img", 64 * 1024);
  // Paced at the line's speed, so that the upload and the feed last seconds.
  support::ChildProcess board(
      {QUARNSIM_BIN, "--port-file", dir / "port", "--pace", "--power-up-ms", "1000"},
      {.stdout_path = dir / "board.log"});
  ASSERT_TRUE(support::wait_for_file(dir / "port", 10s));
  std::string port = support::read_file(dir / "port");
  port.resize(port.find('\n'));

  support::ChildProcess program({QUARNPROG_BIN, dir / "qflash.bin", dir / "bios.img"},
                                {.env = {{"QUARNPROG_PORT", port}}});
  ASSERT_TRUE(program.wait_for_output(c.wait_for, 60s)) << program.output();
  const std::size_t before = program.output().size();

  const auto gone_at = std::chrono::steady_clock::now();
  const double cpu_before = cpu_seconds_so_far(program.pid());
  board.signal(SIGTERM);  // the board's end of the line closes
  ASSERT_TRUE(board.finish(10s).exited);
  const support::ChildResult ended = program.finish(60s);
  const double wind_down =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - gone_at).count();
  ASSERT_TRUE(ended.exited) << "still running 60 s after the port went: " << program.output();

  const double cpu = ended.cpu_s - cpu_before;
  std::cout << "[ figure ] port gone during the " << c.stage << ": ended " << wind_down
            << " s later, " << cpu << " s CPU (" << 100 * cpu / wind_down << " %)\n";
  EXPECT_EQ(ended.status, 2);
  const std::string after = program.output().substr(before);
  EXPECT_NE(after.find(c.message), std::string::npos) << after;
  // A program that waits its time-outs uses next to no CPU; one that spins
  // on a dead descriptor uses all of a core.
  EXPECT_LT(cpu, 0.2 * wind_down);
}

INSTANTIATE_TEST_SUITE_P(Stages, PortVanishes,
                         ::testing::Values(
                             // EIO = 5: the pseudo-terminal has hung up.
                             Vanishing{"upload", "YMODEM receive\r\nC*",
                                       "send_frame: WriteFile Failed\n"},
                             Vanishing{"feed", "R*", "send_sp_packet"}),
                         [](const auto& info) { return std::string(info.param.stage); });

}  // namespace
