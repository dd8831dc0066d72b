// The flash writer started by "g": its announcements and the packet feed.
#include <gtest/gtest.h>

#include <functional>

#include "board_host.h"

namespace board_test {
namespace {

const std::string kAck = "\x06";
const std::string kNak = "\x15";
const std::string kEsc = "\x1b";
const std::string kEot = "\x04";
const std::string kFirstAnswer = "\r\nQuarn flash writer 1.2\r\n" + kAck;

// Loads a small flash writer at 8000:0 and starts it.
void start_writer(Host& host) {
  host.board.power_up(0);
  host.wait(ms(1000));
  host.send("yload 8000:0\n\r");
  host.send(header("pel.bin", 4));
  host.send(frame(1, {1, 2, 3, 4}));
  host.send(kEot);
  host.send(null_frame());
  ASSERT_EQ(host.wait(ms(100)),
            "\r\nYMODEM receive\r\nC" + std::string(4, '\x06') + "\r\nLoaded 4 bytes\r\n:");
  host.send("g 8000:0\n\r");
}

class WriterTest : public ::testing::Test {
 protected:
  void start_writer() { board_test::start_writer(host); }
  void start_and_wait_ready() {
    start_writer();
    ASSERT_EQ(host.wait(ms(1000)), kFirstAnswer + kAck);
  }
  std::string exchange(const Bytes& bytes) { return host.exchange(bytes); }
  std::string exchange(std::string_view bytes) { return host.exchange(bytes); }

  Host host;
};

TEST_F(WriterTest, AnnouncesItselfThenSignalsReady) {
  start_writer();
  const sim::Micros started = host.now;
  EXPECT_EQ(host.wait(ms(299)), "");
  EXPECT_EQ(host.wait(ms(100)), kFirstAnswer);
  // "g" was taken at its LF, one byte before the CR that ended the sending.
  EXPECT_EQ(host.last.back().at - started, ms(300) + (kFirstAnswer.size() - 1) * 1042);
  EXPECT_EQ(host.wait(ms(400)), "");
  EXPECT_EQ(host.wait(ms(100)), kAck);
}

TEST_F(WriterTest, FeedIsStoredExactlyWithBadPacketsNakedAndRepeatsDropped) {
  start_and_wait_ready();
  const Bytes image = pattern(200, 3);
  EXPECT_EQ(exchange(packet(1, slice(image, 0, 64))), kAck);
  Bytes bad_sum = packet(2, slice(image, 64, 64));
  bad_sum[10] ^= 1;
  EXPECT_EQ(exchange(bad_sum), kNak);
  Bytes bad_soh = packet(2, slice(image, 64, 64));
  bad_soh[0] = 0x02;
  EXPECT_EQ(exchange(bad_soh), kNak);
  EXPECT_EQ(exchange(packet(2, slice(image, 64, 64))), kAck);
  EXPECT_EQ(exchange(packet(2, slice(image, 64, 64))), kAck);  // repeat: dropped
  EXPECT_EQ(exchange(packet(3, slice(image, 128, 64))), kAck);
  host.send(slice(packet(4, slice(image, 192, 64)), 0, 30));
  EXPECT_EQ(host.wait(ms(60)), kNak);  // stalled
  EXPECT_EQ(exchange(packet(4, slice(image, 192, 64))), kAck);
  EXPECT_EQ(exchange(kEot), kAck + "\r\nFlash written, 256 bytes\r\n:");

  EXPECT_TRUE(host.board.flash_finished());
  EXPECT_EQ(host.board.packets_taken(), 4u);
  EXPECT_EQ(host.board.flash().size(), 256u);
  EXPECT_TRUE(host.board.flash_image_equals(image));
  Bytes other = image;
  other.push_back(1);
  EXPECT_FALSE(host.board.flash_image_equals(other));
  other = image;
  other[199] ^= 1;
  EXPECT_FALSE(host.board.flash_image_equals(other));
  EXPECT_EQ(host.board.mode(), sim::Board::Mode::monitor);
  EXPECT_EQ(exchange(std::string_view("\n\r")), "\r\n:");
}

TEST_F(WriterTest, SerialsWrapAfter255) {
  start_and_wait_ready();
  const Bytes image = pattern(257 * 64, 9);
  std::string answers;
  for (std::size_t i = 0; i < 257; ++i) {
    answers += exchange(packet(static_cast<std::uint8_t>(i + 1), slice(image, i * 64, 64)));
  }
  EXPECT_EQ(answers, std::string(257, '\x06'));
  EXPECT_TRUE(host.board.flash_image_equals(image));
}

TEST_F(WriterTest, SerialGapAbandonsWithEsc) {
  start_and_wait_ready();
  EXPECT_EQ(exchange(packet(1, pattern(64))), kAck);
  EXPECT_EQ(exchange(packet(3, pattern(64))),
            kEsc + "\r\nSequence error, flash writer abandoned\r\n:");
  EXPECT_TRUE(host.board.flash_abandoned());
  EXPECT_FALSE(host.board.flash_finished());
  EXPECT_EQ(host.board.mode(), sim::Board::Mode::monitor);
}

TEST_F(WriterTest, PacketsAreTakenWhileItStarts) {
  start_writer();
  host.send(packet(1, pattern(64)));
  EXPECT_EQ(host.wait(ms(1000)), kAck + kFirstAnswer + kAck);
  EXPECT_EQ(host.board.packets_taken(), 1u);
}

Bytes numbered(std::uint8_t serial) {
  return packet(serial, pattern(64, serial));
}
const Bytes kEotByte{0x04};

struct Step {
  Bytes sent;
  std::string answer;
};

struct WriterFault {
  const char* name;
  std::function<void(sim::BoardConfig&)> configure;
  std::string start;  // what the writer says before the first packet
  std::vector<Step> steps;
  std::uint64_t packets_taken;
};

class WriterFaults : public ::testing::TestWithParam<WriterFault> {};

TEST_P(WriterFaults, AnswersAsConfigured) {
  sim::BoardConfig config;
  GetParam().configure(config);
  Host host(config);
  start_writer(host);
  EXPECT_EQ(host.wait(ms(1000)), GetParam().start);
  for (std::size_t i = 0; i < GetParam().steps.size(); ++i) {
    EXPECT_EQ(host.exchange(GetParam().steps[i].sent), GetParam().steps[i].answer) << "step " << i;
  }
  EXPECT_EQ(host.board.packets_taken(), GetParam().packets_taken);
}

const std::string kWritten64 = "\r\nFlash written, 64 bytes\r\n:";

INSTANTIATE_TEST_SUITE_P(
    Knobs, WriterFaults,
    ::testing::Values(
        WriterFault{
            "NakPacketTwice",
            [](sim::BoardConfig& c) {
              c.flash_answers.push_back({2, 2, kNak});
            },
            kFirstAnswer + kAck,
            {{numbered(1), kAck}, {numbered(2), kNak}, {numbered(2), kNak}, {numbered(2), kAck}},
            2},
        WriterFault{"EscAtPacket",
                    [](sim::BoardConfig& c) {
                      c.flash_answers.push_back({2, 1, kEsc});
                    },
                    kFirstAnswer + kAck,
                    {{numbered(1), kAck},
                     {numbered(2), kEsc + "\r\nFlash writer abandoned\r\n:"},
                     {Bytes{'\n', '\r'}, "\r\n:"}},
                    1},
        WriterFault{"ForeignAnswer",
                    [](sim::BoardConfig& c) {
                      c.flash_answers.push_back({1, 1, "?x"});
                    },
                    kFirstAnswer + kAck,
                    {{numbered(1), "?x"}, {numbered(1), kAck}},
                    1},
        WriterFault{"SilentFromPacket",
                    [](sim::BoardConfig& c) { c.flash_silent_from_packet = 2; },
                    kFirstAnswer + kAck,
                    {{numbered(1), kAck},
                     {numbered(2), ""},
                     {numbered(2), ""},
                     {kEotByte, ""},
                     {Bytes{'\n', '\r'}, "\r\n:"}},
                    2},
        WriterFault{"NoEotAck",
                    [](sim::BoardConfig& c) { c.flash_eot_ack = false; },
                    kFirstAnswer + kAck,
                    {{numbered(1), kAck}, {kEotByte, kWritten64}},
                    1},
        WriterFault{"FirstAnswerEsc",
                    [](sim::BoardConfig& c) { c.flash_first_answer = "\r\nno flash\r\n\x1b"; },
                    "\r\nno flash\r\n\x1b\r\nFlash writer aborted\r\n:",
                    {{Bytes{'\n', '\r'}, "\r\n:"}},
                    0},
        WriterFault{"BytesBeforeReady",
                    [](sim::BoardConfig& c) { c.flash_before_ready = "xyz"; },
                    kFirstAnswer + "xyz" + kAck,
                    {{numbered(1), kAck}},
                    1},
        WriterFault{"NoReadyAckAndSilentStart",
                    [](sim::BoardConfig& c) {
                      c.flash_first_answer = "";
                      c.flash_ready_ack = false;
                    },
                    "",
                    {{numbered(1), kAck}, {kEotByte, kAck + kWritten64}},
                    1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace board_test
