// Our YMODEM frames against an independent receiver, lrzsz's rz: the program's
// ymodem_send on the real termios layer, the monitor played by a relay that
// takes the "yload" line and hands the frames to rz on a second
// pseudo-terminal. rz must take the header and every data frame at the first
// try and write the file exactly as it was.
//
// rz acknowledges an EOT only after a second of silence on the line, which the
// program's EOT handshake never leaves, so the test ends rz once the data
// frames are over (SIGTERM: rz then writes out what it holds and exits). The
// EOT stage is covered against the virtual board.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>

#include "monitor_relay.h"
#include "pty_pair.h"
#include "scratch.h"
#include "serial/serial_port.h"
#include "support/child_process.h"
#include "transfer/transfer.h"

namespace {

using namespace std::chrono_literals;
using e2e::Bytes;

// "COM1" opened and configured as the program does, in this process.
class HostPort {
 public:
  explicit HostPort(const std::string& path) {
    setenv("QUARNPROG_PORT", path.c_str(), 1);
    port_handle =
        CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~HostPort() {
    if (port_handle != INVALID_HANDLE_VALUE) CloseHandle(port_handle);
    port_handle = INVALID_HANDLE_VALUE;
  }
  HostPort(const HostPort&) = delete;
  HostPort& operator=(const HostPort&) = delete;
};

// ymodem_send puts the path into the header as given, so it runs with a bare
// file name from the file's own directory.
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& path) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~WorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path saved_;
};

class RzInterop : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RzInterop, ReceiverWritesTheFileAsSent) {
  const std::string rz = support::find_on_path("rz");
  if (rz.empty()) GTEST_SKIP() << "rz not installed (Debian package lrzsz)";

  const std::size_t size = GetParam();
  const int data_frames = static_cast<int>(size / 128) + 1;
  // Upper case, which rz keeps only when told to (-u).
  const std::string name = "QFLASH.BIN";
  e2e::ScratchDir dir;
  std::filesystem::create_directory(dir / "send");
  std::filesystem::create_directory(dir / "received");
  const Bytes file = e2e::random_bytes(size, static_cast<unsigned>(size));
  e2e::write_file(dir / "send/" + name, file);
  // rz takes a length of 0 for "unknown" and keeps the whole frame of fill.
  const Bytes expected = size == 0 ? Bytes(128, 0x1A) : file;

  e2e::PtyPair program_line;
  e2e::PtyPair receiver_line;
  support::ChildOptions rz_options;
  rz_options.cwd = dir / "received";
  rz_options.terminal_fd = receiver_line.slave();
  rz_options.stderr_path = dir / "rz.log";
  support::ChildProcess receiver({rz, "--ymodem", "-u", "-y"}, rz_options);
  ASSERT_TRUE(receiver.started());

  HostPort port(program_line.slave_path());
  ASSERT_NE(port_handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  ASSERT_EQ(configure_port(38400), 0);

  e2e::MonitorRelay relay(program_line.master(), receiver_line.master());
  // rz asks about a second after it starts; the program does not wait for
  // that, so the upload begins once rz is listening.
  ASSERT_TRUE(relay.wait_for([](const e2e::RelayState& s) { return s.receiver_asked; }, 10s))
      << e2e::read_text(dir / "rz.log");

  const auto start = std::chrono::steady_clock::now();
  int uploaded = -1;
  {
    WorkingDir in_send(dir / "send");
    auto upload = std::async(std::launch::async, [&] { return ymodem_send(name.c_str(), 0x8000); });

    const bool data_over = relay.wait_for([](const e2e::RelayState& s) { return s.eot_sent; },
                                          20s + data_frames * 500ms);
    const support::ChildResult rz_end = receiver.stop(SIGTERM, 10s);
    EXPECT_TRUE(data_over) << "no EOT after the data frames";
    EXPECT_FALSE(rz_end.timed_out);

    // The upload goes on with its EOT handshake and null end frame unanswered.
    ASSERT_EQ(upload.wait_for(60s), std::future_status::ready);
    uploaded = upload.get();
  }
  std::cout << "[ timing ] " << size << " bytes: upload took "
            << std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()
            << " s\n";

  EXPECT_EQ(uploaded, 1);
  const e2e::RelayState seen = relay.state();
  EXPECT_EQ(seen.command, "yload 8000:0\n\r");
  // Header and data frames, each taken at the first try.
  EXPECT_EQ(seen.frames, 1 + data_frames);
  EXPECT_EQ(seen.acks, 1 + data_frames);
  EXPECT_EQ(seen.refusals, 0) << e2e::read_text(dir / "rz.log");
  EXPECT_EQ(e2e::read_file(dir / "received/" + name), expected) << e2e::read_text(dir / "rz.log");
}

// One byte; exactly one frame, so the last frame is all fill; one byte into
// a second frame; past 255 frames, where the block number wraps to 0; and the
// empty file.
INSTANTIATE_TEST_SUITE_P(Sizes, RzInterop, ::testing::Values(1, 128, 129, 256 * 128 + 1, 0),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return "Bytes" + std::to_string(info.param);
                         });

}  // namespace
