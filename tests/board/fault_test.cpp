// Fault knobs of the monitor, the loader and the line.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "board_host.h"

namespace board_test {
namespace {

const std::string kStartup = sim::BoardConfig{}.startup_text + ":";
const std::string kDls = "\r\nDLS: 8000\r\n:";

struct MonitorFault {
  const char* name;
  std::function<void(sim::BoardConfig&)> configure;
  const char* sent;
  std::string seen;  // start-up text included
  std::uint32_t speed = 9600;
};

class MonitorFaults : public ::testing::TestWithParam<MonitorFault> {};

TEST_P(MonitorFaults, ShowOnTheLine) {
  sim::BoardConfig config;
  GetParam().configure(config);
  Host host(config);
  host.board.power_up(0);
  host.wait(ms(1000));
  host.send(GetParam().sent);
  host.wait(ms(3000));
  std::string seen;
  for (const sim::LineByte& byte : host.last) seen += static_cast<char>(byte.value);
  EXPECT_EQ(seen, GetParam().seen);
  EXPECT_EQ(host.board.speed(), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, MonitorFaults,
    ::testing::Values(
        MonitorFault{"PoweredOff", [](sim::BoardConfig& c) { c.silent = true; }, "\n\rdls\n\r", ""},
        MonitorFault{"StartUpWithoutPrompt", [](sim::BoardConfig& c) { c.startup_prompt = false; },
                     "", sim::BoardConfig{}.startup_text},
        MonitorFault{"NoPrompts", [](sim::BoardConfig& c) { c.prompts = false; }, "\n\rdls\n\r",
                     kStartup + "\r\n" + "\r\nDLS: 8000\r\n"},
        MonitorFault{"GarbageFirst", [](sim::BoardConfig& c) { c.garbage_before_answers = "#~"; },
                     "\n\r", kStartup + "#~\r\n:"},
        MonitorFault{"MissingDlsAnswer",
                     [](sim::BoardConfig& c) { c.missing_answer_command = "dls"; }, "dls\n\r\n\r",
                     kStartup + "\r\n:"},
        MonitorFault{"NoAnswers", [](sim::BoardConfig& c) { c.missing_answer_command = "*"; },
                     "dls\n\r\n\r", kStartup},
        MonitorFault{"IgnoresSpeed", [](sim::BoardConfig& c) { c.ignore_speed = true; },
                     "speed  38  0  \n\r", kStartup + "\r\n:"},
        MonitorFault{"SpeedAnswerMissingStillSwitches",
                     [](sim::BoardConfig& c) { c.missing_answer_command = "speed"; },
                     "speed  38  0  \n\r", kStartup, 38400},
        MonitorFault{"ReplacedOutputByte",
                     [](sim::BoardConfig& c) {
                       c.replace_board_bytes.push_back({0, 'X'});
                     },
                     "", "X" + kStartup.substr(1)},
        MonitorFault{"DeadAfterHostByte", [](sim::BoardConfig& c) { c.dead_after_host_byte = 1; },
                     "\n\r\n\r", kStartup + "\r\n:"},
        MonitorFault{"CorruptedHostByte",
                     [](sim::BoardConfig& c) {
                       c.corrupt_host_bytes.push_back({1, 0x01});
                     },
                     "dls\n\r", kStartup + "\r\nUnknown command\r\n:"},
        MonitorFault{"LostHostByte", [](sim::BoardConfig& c) { c.lose_host_bytes.push_back(0); },
                     "xdls\n\r", kStartup + kDls}),
    [](const auto& info) { return info.param.name; });

TEST(SlowAnswer, ComesLate) {
  sim::BoardConfig config;
  config.slow_command = "dls";
  config.slow_answer_delay = ms(2000);
  Host host(config);
  host.board.power_up(0);
  host.wait(ms(1000));
  EXPECT_EQ(host.exchange("dls\n\r", ms(1900)), "");
  EXPECT_EQ(host.wait(ms(200)), kDls);
  EXPECT_EQ(host.exchange("\n\r"), "\r\n:");  // other commands are not slowed
}

class LoaderFaults : public ::testing::Test {
 protected:
  void start(sim::BoardConfig config) {
    host = std::make_unique<Host>(std::move(config));
    host->board.power_up(0);
    host->wait(ms(1000));
    ASSERT_EQ(host->exchange("yload 8000:0\n\r"), "\r\nYMODEM receive\r\nC");
  }
  std::unique_ptr<Host> host;
  const Bytes file = pattern(200);
  const std::string ack = "\x06";
};

TEST_F(LoaderFaults, ConfiguredAnswersReplaceTheAckAndDropTheFrame) {
  sim::BoardConfig config;
  config.loader_answers.push_back({1, 2, "\x15"});
  config.loader_answers.push_back({2, 1, "\x1b"});
  config.loader_answers.push_back({3, 1, ""});  // the null end frame
  start(config);
  EXPECT_EQ(host->exchange(header("f", 200)), ack);
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 128))), "\x15");
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 128))), "\x15");
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 128))), ack);
  EXPECT_EQ(host->exchange(frame(2, slice(file, 128, 128))), "\x1b");
  EXPECT_EQ(host->exchange(frame(2, slice(file, 128, 128))), ack);
  EXPECT_EQ(host->exchange("\x04"), ack);
  EXPECT_EQ(host->exchange(null_frame()), "");
  EXPECT_EQ(host->exchange(null_frame()), ack + "\r\nLoaded 200 bytes\r\n:");
  EXPECT_EQ(host->board.loaded_file(), file);
}

TEST_F(LoaderFaults, SilentLoaderStillStoresAndReturnsToTheMonitor) {
  sim::BoardConfig config;
  config.loader_silent_from_frame = 2;
  start(config);
  EXPECT_EQ(host->exchange(header("f", 200)), ack);
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 128))), ack);
  EXPECT_EQ(host->exchange(frame(2, slice(file, 128, 128))), "");
  EXPECT_EQ(host->exchange(frame(2, slice(file, 128, 128))), "");
  EXPECT_EQ(host->exchange("\x04"), "");
  EXPECT_EQ(host->exchange(null_frame()), "");
  EXPECT_EQ(host->board.mode(), sim::Board::Mode::monitor);
  EXPECT_EQ(host->board.loaded_file(), file);
  EXPECT_EQ(host->exchange("\n\r"), "\r\n:");
}

TEST_F(LoaderFaults, LostByteIsNakedAfterTheGapAndCorruptByteAtOnce) {
  sim::BoardConfig config;
  // Host bytes so far: 14 of the command; the header is bytes 14..146.
  config.lose_host_bytes.push_back(14 + 133 + 50);                   // inside data frame 1
  config.corrupt_host_bytes.push_back({14 + 133 + 133 + 70, 0x40});  // its second sending
  start(config);
  EXPECT_EQ(host->exchange(header("f", 100)), ack);
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 100))), "\x15");  // 132 bytes, then the gap
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 100))), "\x15");
  EXPECT_EQ(host->exchange(frame(1, slice(file, 0, 100))), ack);
}

}  // namespace
}  // namespace board_test
