// The monitor: start-up text, pacing, line ends, commands, speed switch.
#include <gtest/gtest.h>

#include <functional>

#include "board_host.h"
#include "sim/checksums.h"

namespace board_test {
namespace {

const std::string kStartup = sim::BoardConfig{}.startup_text + ":";

class MonitorTest : public ::testing::Test {
 protected:
  explicit MonitorTest(sim::BoardConfig config = {}) : host(std::move(config)) {}
  void power_up() {
    host.board.power_up(host.now);
    host.wait(ms(1000));
  }
  Host host;
};

TEST_F(MonitorTest, StartUpTextEndsWithThePromptPacedAt9600) {
  host.board.power_up(ms(5));
  EXPECT_EQ(host.wait(ms(1000)), kStartup);
  ASSERT_EQ(host.last.size(), kStartup.size());
  EXPECT_EQ(host.last.front().at, ms(5) + sim::byte_time(9600));
  for (std::size_t i = 1; i < host.last.size(); ++i) {
    EXPECT_GE(host.last[i].at - host.last[i - 1].at, 1042u) << i;
    EXPECT_EQ(host.last[i].baud, 9600u);
  }
}

TEST(MonitorPacing, UnpacedOutputLeavesAtOnce) {
  sim::BoardConfig config;
  config.pace_output = false;
  Host host(config);
  host.board.power_up(ms(5));
  EXPECT_EQ(host.wait(ms(5)), kStartup);
}

struct Exchange {
  const char* sent;
  const char* answer;
  std::vector<std::string> commands;
};

class MonitorAnswers : public MonitorTest, public ::testing::WithParamInterface<Exchange> {};

TEST_P(MonitorAnswers, AnswerEndsWithPromptAndLinesAreRecorded) {
  power_up();
  host.send(GetParam().sent);
  EXPECT_EQ(host.wait(ms(500)), GetParam().answer);
  std::vector<std::string> taken;
  for (const auto& command : host.board.commands()) {
    taken.push_back(command.text);
    EXPECT_EQ(command.host_baud, 9600u);
  }
  EXPECT_EQ(taken, GetParam().commands);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, MonitorAnswers,
    ::testing::Values(
        Exchange{"\n\r", "\r\n:", {""}}, Exchange{"\r\n", "\r\n:", {""}},
        Exchange{"\n\n", "\r\n:\r\n:", {"", ""}},
        Exchange{"dls\n\r", "\r\nDLS: 8000\r\n:", {"dls"}},
        Exchange{" \tDLS  \r", "\r\nDLS: 8000\r\n:", {" \tDLS  "}},
        Exchange{"d\x04ls\x7f\n", "\r\nDLS: 8000\r\n:", {"dls"}},  // control bytes dropped
        Exchange{"bogus 1\n\r", "\r\nUnknown command\r\n:", {"bogus 1"}},
        Exchange{"speed  77  0\n\r", "\r\nBad speed\r\n:", {"speed  77  0"}},
        Exchange{"yload zz:0\n\r", "\r\nBad address\r\n:", {"yload zz:0"}},
        Exchange{"g 8000:0\n\r", "\r\nNo program loaded at that address\r\n:", {"g 8000:0"}}));

TEST_F(MonitorTest, SpeedCommandsSwitchAfterTheReplyAndGarbleMismatchedBytes) {
  power_up();
  host.send("speed  38  0  \n\r\n\r");
  // The reply and the prompt of the trailing empty line still go at 9600.
  EXPECT_EQ(host.wait(ms(100)), "\r\nspeed 38400\r\n:\r\n:");
  EXPECT_EQ(host.board.speed(), 38400u);
  EXPECT_EQ(host.board.speed_at(host.last.back().at - 1), 9600u);
  EXPECT_EQ(host.last.back().baud, 9600u);

  // The host still at 9600: the board takes garble, which has no line end.
  host.send("\n\r");
  EXPECT_EQ(host.wait(ms(100)), "");

  host.baud = 38400;
  host.send("\n\r");
  EXPECT_EQ(host.wait(ms(100)), "\r\nUnknown command\r\n:");
  EXPECT_EQ(host.last.back().baud, 38400u);
  host.send("\n\r");
  EXPECT_EQ(host.wait(ms(100)), "\r\n:");
  host.send("speed   96  0  \n\r\n\r");
  EXPECT_EQ(host.wait(ms(100)), "\r\nspeed 9600\r\n:\r\n:");
  EXPECT_EQ(host.board.speed(), 9600u);

  ASSERT_EQ(host.board.commands().size(), 6u);
  const std::string garbled{static_cast<char>(sim::garble('\n')),
                            static_cast<char>(sim::garble('\r'))};
  EXPECT_EQ(host.board.commands()[2].text, garbled);
  EXPECT_EQ(host.board.commands()[3].text, "");
  EXPECT_EQ(host.board.commands()[3].host_baud, 38400u);
  EXPECT_EQ(host.board.commands()[4].text, "speed   96  0  ");

  host.baud = 9600;
  host.send("\n\r");
  EXPECT_EQ(host.wait(ms(100)), "\r\n:");
}

TEST_F(MonitorTest, BoardBytesAtAnotherSpeedArriveGarbled) {
  power_up();
  host.board.receive('x', 38400, host.now);  // a host byte at the wrong speed
  host.send("\n");
  host.baud = 38400;  // and the host listening at the wrong speed
  std::string expected;
  for (char c : std::string("\r\nUnknown command\r\n:")) {
    expected += static_cast<char>(sim::garble(static_cast<std::uint8_t>(c)));
  }
  EXPECT_EQ(host.wait(ms(100)), expected);
  ASSERT_EQ(host.board.commands().size(), 1u);
  EXPECT_EQ(host.board.commands()[0].text, std::string(1, static_cast<char>(sim::garble('x'))));
}

struct DlsCase {
  const char* name;
  std::function<void(sim::BoardConfig&)> configure;
  std::string after_colon;
};

class DlsAnswers : public ::testing::TestWithParam<DlsCase> {};

TEST_P(DlsAnswers, AnswerAfterTheColon) {
  sim::BoardConfig config;
  GetParam().configure(config);
  Host host(config);
  host.board.power_up(0);
  host.wait(ms(1000));
  host.send("dls\n\r");
  EXPECT_EQ(host.wait(ms(1000)), "\r\nDLS:" + GetParam().after_colon);
}

INSTANTIATE_TEST_SUITE_P(
    Configured, DlsAnswers,
    ::testing::Values(
        DlsCase{"UpperCaseSegment", [](sim::BoardConfig& c) { c.dls_segment = 0x1a2b; },
                " 1A2B\r\n:"},
        DlsCase{"ZeroSegment", [](sim::BoardConfig& c) { c.dls_segment = 0; }, " 0\r\n:"},
        DlsCase{"OwnText", [](sim::BoardConfig& c) { c.dls_answer = "\r\n1a2b\r\n:"; },
                "\r\n1a2b\r\n:"},
        DlsCase{"Nothing", [](sim::BoardConfig& c) { c.dls_answer = ""; }, ""},
        DlsCase{"Long", [](sim::BoardConfig& c) { c.dls_answer = std::string(120, '7'); },
                std::string(120, '7')},
        DlsCase{"NoPrompt", [](sim::BoardConfig& c) { c.prompts = false; }, " 8000\r\n"}),
    [](const auto& info) { return info.param.name; });

TEST(DlsPause, PauseSplitsTheNumber) {
  sim::BoardConfig config;
  config.dls_answer = " 12345\r\n:";
  config.dls_pause_before = 3;
  config.dls_pause = ms(40);
  Host host(config);
  host.board.power_up(0);
  host.wait(ms(1000));
  host.last.clear();
  host.send("dls\n\r");
  EXPECT_EQ(host.wait(ms(1000)), "\r\nDLS: 12345\r\n:");
  const std::size_t two = 6 + 2;  // "\r\nDLS:" then " 12"
  EXPECT_EQ(host.last[two].value, '2');
  EXPECT_GE(host.last[two + 1].at - host.last[two].at, ms(40));
}

TEST(Checksums, KnownValues) {
  const std::string check = "123456789";
  const auto* data = reinterpret_cast<const std::uint8_t*>(check.data());
  EXPECT_EQ(sim::crc16_xmodem(data, check.size()), 0x31C3);
  EXPECT_EQ(crc16(data, check.size()), 0x31C3);
  EXPECT_EQ(sim::sum8(data, check.size()), static_cast<std::uint8_t>(477));
}

}  // namespace
}  // namespace board_test
