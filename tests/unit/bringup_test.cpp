// The run up to the flash sequence and back: arguments, opening and
// configuring the port, the start-up wait, the speed raise and the restore.
#include <cstring>

#include "line_fixture.h"
#include "run_helpers.h"

namespace {

class BringUpTest : public LineTest {
 protected:
  void SetUp() override {
    LineTest::SetUp();
    line().timeouts = {};  // as the port comes: configure_port sets them
  }

  // The names of the recorded calls, with the speed for SetCommState and the
  // pause for Sleep, e.g. "SetCommState 9600", "Sleep 2000".
  std::vector<std::string> call_log() {
    std::vector<std::string> log;
    for (const sim::RecordedCall& call : line().calls) {
      std::string entry = call.name;
      if (call.name == "SetCommState" || call.name == "Sleep") {
        entry += " " + std::to_string(call.value);
      }
      if (call.name == "WriteFile") entry += " " + line().writes[call.value].bytes;
      log.push_back(entry);
    }
    return log;
  }
};

const char* const usage =
    "Proper command for invoking this application is:\n\n"
    "   quarnprog pel_pgm_name bios_filename\n\n"
    "pel_pgm_name must identify the file (with extension) for\n"
    "   Quarn PEL application for programming your flash\n"
    "bios_filename must identify the file to be burnt into the flash\n";

}  // namespace

TEST_F(BringUpTest, WrongArgumentCountPrintsUsageWithoutOpeningThePort) {
  const std::vector<std::vector<std::string>> cases = {{}, {"pel"}, {"pel", "img", "extra"}};
  for (const auto& args : cases) {
    SetUp();
    EXPECT_EQ(run_quarnprog(args), exit_not_started);
    EXPECT_EQ(output(), usage);
    EXPECT_TRUE(line().calls.empty()) << args.size() << " arguments";
  }
}

TEST_F(BringUpTest, PortThatCannotBeOpenedEndsTheRun) {
  line().create_error = 2;
  EXPECT_EQ(run_quarnprog({"pel", "img"}), exit_not_started);
  EXPECT_EQ(output(), "CreateFile failed with error 2.\n");
  EXPECT_EQ(line().created_name, "COM1");
  EXPECT_EQ(line().created_share_mode, 0u) << "the port is held exclusively";
}

TEST_F(BringUpTest, FirstConfigurationFailureEndsTheRunWithItsCode) {
  struct Case {
    DWORD sim::VirtualLine::*fault;
    std::string message;
    int code;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {&sim::VirtualLine::get_state_error,
       "GetCommState failed with error 31.\n",
       2,
       {"CreateFileA", "GetCommState"}},
      {&sim::VirtualLine::set_state_error,
       "SetCommState failed with error 31.\n",
       3,
       {"CreateFileA", "GetCommState", "SetCommState 9600"}},
      {&sim::VirtualLine::get_timeouts_error,
       "Error: GetCommTimeouts reported error number 31.\n",
       4,
       {"CreateFileA", "GetCommState", "SetCommState 9600", "GetCommTimeouts"}},
      {&sim::VirtualLine::set_timeouts_error,
       "Error: SetCommTimeouts reported error number 31.\n",
       5,
       {"CreateFileA", "GetCommState", "SetCommState 9600", "GetCommTimeouts", "SetCommTimeouts"}},
  };
  for (const Case& c : cases) {
    SetUp();
    line().calls.clear();
    line().*c.fault = 31;
    EXPECT_EQ(run_quarnprog({"pel", "img"}), exit_not_started);
    EXPECT_EQ(output(), std::string(banner) + c.message +
                            "Error configuring serial port: " + std::to_string(c.code) + "\n");
    EXPECT_EQ(call_log(), c.calls) << "code " << c.code;
  }
}

TEST_F(BringUpTest, ConfigurationChangesOnlySpeedFramingNullsAndReadTimeouts) {
  line().dcb.fOutxCtsFlow = 1;
  line().dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  line().dcb.fAbortOnError = 1;
  line().dcb.fNull = 1;
  line().dcb.ByteSize = 7;
  line().dcb.Parity = 2;
  line().dcb.XonChar = 0x21;
  line().timeouts = {100, 1, 7, 3, 4};
  DCB before = line().dcb;

  ASSERT_EQ(configure_port(38400), 0);
  ASSERT_EQ(configure_port(38400), 0) << "a second call changes nothing more";
  const DCB& after = line().dcb;
  EXPECT_EQ(after.BaudRate, 38400u);
  EXPECT_EQ(after.ByteSize, 8);
  EXPECT_EQ(after.Parity, NOPARITY);
  EXPECT_EQ(after.StopBits, ONESTOPBIT);
  EXPECT_EQ(after.fNull, 0u);
  before.BaudRate = after.BaudRate;
  before.ByteSize = after.ByteSize;
  before.Parity = after.Parity;
  before.fNull = 0;
  EXPECT_EQ(std::memcmp(&before, &after, sizeof(DCB)), 0) << "every other field as it was";
  const COMMTIMEOUTS& t = line().timeouts;
  EXPECT_EQ(t.ReadIntervalTimeout, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 7u);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 4u);
  EXPECT_EQ(output(), "");
}

TEST_F(BringUpTest, SilentTargetTimesOutAfterThreeThousandEmptyReads) {
  EXPECT_EQ(run_quarnprog({"pel", "img"}), exit_not_started);
  EXPECT_EQ(output(),
            std::string(banner) + "Timeout waiting for target reset string. Please try again\n");
  EXPECT_TRUE(line().writes.empty());
  EXPECT_EQ(line().empty_reads, 3001u) << "the drain's read, then the budget of 3000";
  EXPECT_EQ(line().now, sim::millis(30010));
}

// A monitor that speaks at start-up and answers both speed commands, but
// never answers the wake-up or "dls": the run goes on through the flash
// sequence's failure and restores the speed.
TEST_F(BringUpTest, SpeedRaiseAndRestoreInOrderAtTheRightSpeeds) {
  line().send_to_host("Quarn monitor\r\n:", sim::millis(500));
  line().on_write = [&](std::string_view bytes) {
    if (bytes.substr(0, 5) == "speed") line().send_to_host("\r\nOK\r\n", line().now + 1000);
  };
  EXPECT_EQ(run_quarnprog({"pel", "img"}), exit_flash_incomplete);

  const std::vector<std::string> expected = {
      "CreateFileA",       "GetCommState",
      "SetCommState 9600", "GetCommTimeouts",
      "SetCommTimeouts",   "WriteFile speed  38  0  \n\r\n\r",
      "GetCommState",      "SetCommState 38400",
      "GetCommTimeouts",   "SetCommTimeouts",
      "Sleep 2000",        "WriteFile \n\r",
      "WriteFile dls\n\r", "WriteFile speed   96  0  \n\r\n\r",
      "GetCommState",      "SetCommState 9600",
      "GetCommTimeouts",   "SetCommTimeouts",
      "Sleep 1000"};
  EXPECT_EQ(call_log(), expected);
  ASSERT_EQ(line().writes.size(), 4u);
  EXPECT_EQ(line().writes[0].baud, 9600u);
  EXPECT_EQ(line().writes[1].baud, 38400u);
  EXPECT_EQ(line().writes[3].baud, 38400u);
  EXPECT_EQ(output(), std::string(banner) + "Quarn monitor\r\n:\r\nOK\r\n" +
                          "Error getting download address\n\r\nOK\r\n");
}

TEST_F(BringUpTest, RestoreSwitchFailureIsShownAndTheRunStillEnds) {
  line().send_to_host("Quarn monitor\r\n:", sim::millis(500));
  int set_calls = 0;
  line().on_write = [&](std::string_view bytes) {
    if (bytes.substr(0, 5) == "speed" && ++set_calls == 1) line().set_state_error = 87;
  };
  EXPECT_EQ(run_quarnprog({"pel", "img"}), exit_flash_incomplete);
  const std::string shown = output();
  // The raise and the restore both fail to switch: two messages, one run.
  size_t first = shown.find("SetCommState failed with error 87.\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(shown.find("SetCommState failed with error 87.\n", first + 1), std::string::npos);
  EXPECT_EQ(line().writes.back().bytes, "speed   96  0  \n\r\n\r");
}
