#include "pty_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

PseudoTerminal::PseudoTerminal() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no slave name");
  slave_path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  close_master();
}

void PseudoTerminal::close_master() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

termios PseudoTerminal::peer_view() const {
  termios tio{};
  EXPECT_EQ(tcgetattr(master_, &tio), 0);
  return tio;
}

void PseudoTerminal::set_peer_view(const termios& tio) const {
  EXPECT_EQ(tcsetattr(master_, TCSANOW, &tio), 0);
}

void PseudoTerminal::send(const std::vector<unsigned char>& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = write(master_, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(w, 0);
    done += static_cast<std::size_t>(w);
  }
}

std::vector<unsigned char> PseudoTerminal::receive(std::size_t count, int timeout_ms) const {
  std::vector<unsigned char> got;
  const long long start = now_ns();
  while (got.size() < count) {
    const int left = timeout_ms - static_cast<int>(elapsed_ms_since(start));
    pollfd pfd{master_, POLLIN, 0};
    if (left <= 0 || poll(&pfd, 1, left) <= 0) break;
    unsigned char chunk[4096];
    const ssize_t r = read(master_, chunk, std::min(sizeof chunk, count - got.size()));
    if (r <= 0) break;
    got.insert(got.end(), chunk, chunk + r);
  }
  return got;
}

void PortTest::SetUp() {
  ASSERT_EQ(setenv("QUARNPROG_PORT", pty.slave_path().c_str(), 1), 0);
}

void PortTest::TearDown() {
  if (port != INVALID_HANDLE_VALUE) {
    EXPECT_TRUE(CloseHandle(port));
  }
}

void PortTest::open_com1() {
  port = create_port("COM1");
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
}

void PortTest::configure(DWORD baud) {
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fNull = 0;
  ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
}

void PortTest::set_timeouts(const COMMTIMEOUTS& timeouts) {
  COMMTIMEOUTS copy = timeouts;
  ASSERT_TRUE(SetCommTimeouts(port, &copy)) << GetLastError();
}

HANDLE create_port(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::vector<unsigned char> all_byte_values() {
  std::vector<unsigned char> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double elapsed_ms_since(long long start_ns) {
  return (now_ns() - start_ns) / 1e6;
}
