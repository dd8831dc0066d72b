// quarnprog runs that end before anything is sent, on ports of the test's own:
// a target that never speaks, a port held by another quarnprog, a port that
// does not exist, and a path that is no terminal at all.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>

#include "pty_pair.h"
#include "scratch.h"
#include "support/child_process.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kBanner =
    "Serial port COM1 successfully reconfigured.\n"
    "Power up the target with the A23 jumper installed now\n";

support::ChildOptions on_port(const std::string& path) {
  support::ChildOptions options;
  options.env = {{"QUARNPROG_PORT", path}};
  return options;
}

// The one test that sits out the start-up wait in real time (3000 empty reads
// of 10 ms): the same wait on the virtual clock is covered by the unit tests.
// The second quarnprog rides on it, since the first must hold the port.
TEST(PortFailure, SilentTargetTimesOutWhileTheHeldPortRefusesASecondProgram) {
  e2e::ScratchDir dir;
  e2e::PtyPair pty;
  const std::vector<std::string> argv = {QUARNPROG_BIN, dir / "qflash.bin", dir / "bios.img"};

  support::ChildProcess first(argv, on_port(pty.slave_path()));
  ASSERT_TRUE(first.started());
  ASSERT_TRUE(first.wait_for_output(kBanner, 10s)) << first.output();

  const support::ChildResult second = support::run_child(argv, on_port(pty.slave_path()), 10s);
  ASSERT_FALSE(second.timed_out) << second.output;
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.output, "CreateFile failed with error 16.\n");

  const support::ChildResult result = first.finish(120s);
  ASSERT_FALSE(result.timed_out) << result.output;
  std::cout << "[ timing ] silent target given up after " << result.wall_s << " s\n";
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output,
            std::string(kBanner) + "Timeout waiting for target reset string. Please try again\n");
  // 3000 empty reads of at least 10 ms each.
  EXPECT_GE(result.wall_s, 30.0);
  // Not a byte went to the target: no command without its start-up text.
  EXPECT_EQ(pty.take_pending(), "");
}

TEST(PortFailure, PortThatCannotBeUsedEndsTheRunWithOne) {
  e2e::ScratchDir dir;
  const std::string regular = dir / "not-a-port";
  e2e::write_file(regular, {});
  const struct {
    std::string port;
    std::string output;
  } cases[] = {
      {dir / "no-such-port", "CreateFile failed with error 2.\n"},
      // A file opens, but is no terminal: ENOTTY from the first comm call.
      {regular, std::string(kBanner) +
                    "GetCommState failed with error 25.\nError configuring serial port: 2\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    const support::ChildResult result = support::run_child(
        {QUARNPROG_BIN, dir / "qflash.bin", dir / "bios.img"}, on_port(c.port), 10s);
    ASSERT_FALSE(result.timed_out) << result.output;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, c.output);
  }
  EXPECT_TRUE(e2e::read_file(regular).empty());
  EXPECT_FALSE(e2e::file_exists(dir / "no-such-port"));
}

}  // namespace
