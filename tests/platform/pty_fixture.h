// A pseudo-terminal of the test's own, standing in for the serial port: the
// layer under test opens the slave as "COM1" (through QUARNPROG_PORT) and
// the test plays the far side on the master.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32_comm.h"

class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }

  // The slave's termios as the far side sees and sets it.
  termios peer_view() const;
  void set_peer_view(const termios& tio) const;

  void send(const std::vector<unsigned char>& bytes) const;
  // Reads from the master until `count` bytes came or `timeout_ms` passed.
  std::vector<unsigned char> receive(std::size_t count, int timeout_ms) const;
  void close_master();

 private:
  int master_ = -1;
  std::string slave_path_;
};

// Every test gets a fresh pseudo-terminal that "COM1" names; `port` is the
// handle of it once open_com1() ran, and is closed after the test.
class PortTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens "COM1" the way the program does; fails the test if that fails.
  void open_com1();
  // GetCommState, changes as the program's configuration does, SetCommState.
  void configure(DWORD baud);
  void set_timeouts(const COMMTIMEOUTS& timeouts);

  PseudoTerminal pty;
  HANDLE port = INVALID_HANDLE_VALUE;
};

HANDLE create_port(const char* name);
std::vector<unsigned char> all_byte_values();
double elapsed_ms_since(long long start_ns);
long long now_ns();
