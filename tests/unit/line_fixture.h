// A test fixture for code that talks through the port: a fresh virtual line
// with the port open and its read time-outs set as configure_port sets them
// (so an empty read lasts 10 ms of virtual time), the program's globals back
// at their start values, and standard output captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "serial/serial_port.h"
#include "sim/virtual_line.h"
#include "transfer/transfer.h"

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (capturing_) ::testing::internal::GetCapturedStdout();  // a fresh case in a loop
    sim::reset_virtual_line();
    serial_counter = 0;
    mycount = 0;
    port_handle =
        CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    line().timeouts = {10, 10, 0, 0, 0};
    line().calls.clear();
    ::testing::internal::CaptureStdout();
    capturing_ = true;
  }

  // Failures reported while stdout is captured land in the capture: show it.
  void TearDown() override {
    if (capturing_) output();
    if (HasFailure()) std::fprintf(stderr, "captured output:\n%s\n", captured_.c_str());
  }

  sim::VirtualLine& line() { return sim::virtual_line(); }

  // Everything printed so far; ends the capture, so call it once, at the end.
  std::string output() {
    capturing_ = false;
    captured_ = ::testing::internal::GetCapturedStdout();
    return captured_;
  }

 private:
  bool capturing_ = false;
  std::string captured_;
};

// `count` copies of `text`.
inline std::string repeat(const std::string& text, int count) {
  std::string result;
  for (int i = 0; i < count; ++i) result += text;
  return result;
}
