// The YMODEM frame exchange: the frame CRC, the answer handling and retry
// rule of send_frame, and the EOT handshake.
#include <cstring>
#include <random>

#include "line_fixture.h"
#include "transfer_helpers.h"

namespace {

std::string data_of(const ymodem_frame& frame) {
  return std::string(reinterpret_cast<const char*>(frame.data), ymodem_data_size);
}

std::string wire_of(const ymodem_frame& frame) {
  return std::string(reinterpret_cast<const char*>(&frame), ymodem_frame_size);
}

std::uint16_t crc_of(const ymodem_frame& frame) {
  return static_cast<std::uint16_t>(frame.crc_high << 8 | frame.crc_low);
}

ymodem_frame frame_with(const std::string& data, std::uint8_t block = 7) {
  ymodem_frame frame{};
  frame.soh = SOH;
  frame.block = block;
  frame.block_complement = static_cast<std::uint8_t>(255 - block);
  std::memcpy(frame.data, data.data(), ymodem_data_size);
  return frame;
}

}  // namespace

TEST(CrcTest, StandardCheckValueAndZeroFrame) {
  ASSERT_EQ(reference_crc("123456789"), 0x31C3) << "the reference itself is wrong";

  // Leading zero bytes leave a CRC with initial value 0 unchanged, so the
  // check string at the end of the data field must give the check value.
  ymodem_frame frame = frame_with(std::string(119, '\0') + "123456789");
  calc_crc(&frame);
  EXPECT_EQ(crc_of(frame), 0x31C3);
  EXPECT_EQ(frame.crc_high, 0x31) << "high byte first";

  frame = frame_with(std::string(128, '\0'));
  frame.crc_high = frame.crc_low = 0xAA;
  calc_crc(&frame);
  EXPECT_EQ(crc_of(frame), 0x0000);

  frame = frame_with(std::string(127, '\0') + "\x01");
  calc_crc(&frame);
  EXPECT_EQ(crc_of(frame), 0x1021);
}

TEST(CrcTest, CoversExactlyTheDataBytesAsTheBitwiseDefinition) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    std::string data(128, '\0');
    for (char& c : data) c = static_cast<char>(random() & 0xFF);
    ymodem_frame frame = frame_with(data, static_cast<std::uint8_t>(round));
    calc_crc(&frame);
    ASSERT_EQ(crc_of(frame), reference_crc(data)) << "round " << round;
    EXPECT_EQ(data_of(frame), data) << "the data must not change";

    // Neither SOH nor the block number nor its complement is covered.
    ymodem_frame other = frame;
    other.soh = 0x02;
    other.block = static_cast<std::uint8_t>(round + 1);
    other.block_complement = 0;
    calc_crc(&other);
    EXPECT_EQ(crc_of(other), crc_of(frame));
  }
}

namespace {

using YmodemFrameTest = LineTest;

struct FrameCase {
  const char* name;
  std::vector<Reply> replies;  // per transmission of the frame
  std::map<std::uint64_t, sim::ReadFault> read_faults;
  std::map<std::uint64_t, sim::WriteFault> write_faults;
  std::string output;
  std::size_t writes;  // write calls, failed ones included
  int result;
};

const std::string retry_message = "Ymodem send_frame retry count exceeded\n";
const std::string ack = "\x06";
const std::string nak = "\x15";

std::string read_failed(int error) {
  return "send_frame:: ReadFile Failed error = " + std::to_string(error) + "\n";
}

}  // namespace

TEST_F(YmodemFrameTest, AnswersMarksAndRetries) {
  // Read 1 is the drain before the first transmission; the answer wait of a
  // transmission answered at once is a single read, so attempt k starts at read 1 + k.
  const sim::WriteFault failed_write{31};
  const sim::WriteFault short_write{0, 100};
  const std::vector<FrameCase> cases = {
      {"ACK at once", {{ack}}, {}, {}, "*", 1, 1},
      {"three NAKs, then ACK", {{nak}, {nak}, {nak}, {ack}}, {}, {}, "///*", 4, 1},
      {"ACK after the fifth", {{nak}, {nak}, {nak}, {nak}, {ack}}, {}, {}, "////*", 5, 1},
      {"NAK always", {{nak}, {nak}, {nak}, {nak}, {nak}}, {}, {}, "/////" + retry_message, 5, 0},
      {"silence", {}, {}, {}, repeat(repeat("1", 10), 5) + retry_message, 5, 0},
      {"foreign byte below 0x80", {{"C"}, {ack}}, {}, {}, "0x43 *", 2, 1},
      {"foreign byte from 0x80", {{"\xC3"}, {ack}}, {}, {}, "0xffffffc3 *", 2, 1},
      {"foreign bytes every time",
       {{"\x7f"}, {"\x80"}, {std::string(1, '\0')}, {"\xff"}, {"a"}},
       {},
       {},
       "0x7f 0xffffff80 0x00 0xffffffff 0x61 " + retry_message,
       5,
       0},
      {"failed read, then ACK", {{ack}}, {{2, {1167, false}}}, {}, read_failed(1167) + "*", 1, 1},
      {"failed read, then NAK", {{nak}}, {{2, {1167, false}}}, {}, read_failed(1167) + "/", 1, 0},
      {"failed read on the fifth attempt, then NAK",
       {{nak}, {nak}, {nak}, {nak}, {nak}},
       {{6, {22, false}}},
       {},
       "////" + read_failed(22) + "/" + retry_message,
       5,
       0},
      {"failed read, then silence: it counts as one of the ten reads",
       {},
       {{2, {0xFFFFFFFF, false}}},
       {},
       read_failed(-1) + repeat("1", 9),
       1,
       0},
      {"failed and short writes use up attempts",
       {{ack}},
       {},
       {{1, failed_write}, {2, short_write}},
       "send_frame: WriteFile Failed\nError writing ymodem frame\n*",
       3,
       1},
      {"every write short",
       {},
       {},
       {{1, short_write}, {2, short_write}, {3, short_write}, {4, short_write}, {5, short_write}},
       repeat("Error writing ymodem frame\n", 5) + retry_message,
       5,
       0},
  };
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    line().read_faults = c.read_faults;
    line().write_faults = c.write_faults;
    ScriptedTarget target;
    target.answer(ymodem_frame_size, c.replies);
    target.attach();

    ymodem_frame frame = frame_with(pattern_bytes(128), 3);
    EXPECT_EQ(send_frame(&frame) != 0, c.result != 0);
    EXPECT_EQ(crc_of(frame), reference_crc(data_of(frame))) << "the CRC is left in the frame";
    ASSERT_EQ(line().writes.size(), c.writes);
    for (std::size_t i = 0; i < c.writes; ++i) {
      if (c.write_faults.count(i + 1) == 0) {
        EXPECT_EQ(line().writes[i].bytes, wire_of(frame));
      }
    }
    EXPECT_EQ(output(), c.output);
  }
}

TEST_F(YmodemFrameTest, SilenceMakesFiveTransmissionsEachAfterAPause) {
  ymodem_frame frame = frame_with(std::string(128, 'z'));
  EXPECT_EQ(send_frame(&frame), 0);
  ASSERT_EQ(line().writes.size(), 5u);
  // The drain's empty read, then per attempt the 150 ms pause and ten empty reads.
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(line().writes[i].at, sim::millis(10 + 250 * i)) << "transmission " << i + 1;
  }
  EXPECT_EQ(line().sleeps(), std::vector<std::uint64_t>(5, 150));
  EXPECT_EQ(line().reads, 51u);
  EXPECT_EQ(output(), repeat(repeat("1", 10), 5) + retry_message);
}

TEST_F(YmodemFrameTest, BadAnswerSendsTheFrameAgainAtOnce) {
  for (const std::string& answer : {nak, std::string("C")}) {
    SetUp();
    ScriptedTarget target;
    target.answer(ymodem_frame_size, {{answer}, {ack}});
    target.attach();
    ymodem_frame frame = frame_with(std::string(128, 'q'));
    EXPECT_NE(send_frame(&frame), 0);
    ASSERT_EQ(line().writes.size(), 2u);
    // No drain and no pause between the answer and the next transmission.
    EXPECT_EQ(line().writes[1].at - line().writes[0].at, sim::millis(150));
    EXPECT_EQ(line().reads, 3u);
    output();
  }
}

TEST_F(YmodemFrameTest, FailedWritesFollowEachOtherWithoutPauseOrRead) {
  for (std::uint64_t n = 1; n <= 5; ++n) line().write_faults[n] = {31};
  ymodem_frame frame = frame_with(std::string(128, 'w'));
  EXPECT_EQ(send_frame(&frame), 0);
  EXPECT_EQ(line().writes.size(), 5u);
  EXPECT_TRUE(line().sleeps().empty());
  EXPECT_EQ(line().reads, 1u) << "only the drain before the first attempt";
  EXPECT_EQ(output(), repeat("send_frame: WriteFile Failed\n", 5) + retry_message);
}

TEST_F(YmodemFrameTest, BytesWaitingBeforeTheCallAreEchoedNotTakenAsTheAnswer) {
  line().send_to_host("x\x06y");
  ScriptedTarget target;
  target.answer(ymodem_frame_size, {{nak}, {ack}});
  target.attach();
  ymodem_frame frame = frame_with(std::string(128, 'e'));
  EXPECT_NE(send_frame(&frame), 0);
  EXPECT_EQ(line().writes.size(), 2u) << "the early ACK must not acknowledge the frame";
  EXPECT_EQ(output(), "x\x06y/*");
}

namespace {

using YmodemEotTest = LineTest;

struct EotCase {
  const char* name;
  std::vector<Reply> replies;  // per EOT write
  std::string rest;            // to the EOTs after those
  std::map<std::uint64_t, sim::WriteFault> write_faults;
  std::string output;
  std::size_t eots;
  std::uint64_t reads;  // the drain's included: what followed the ACK, and one empty read
};

}  // namespace

TEST_F(YmodemEotTest, HandshakeTable) {
  const std::vector<EotCase> cases = {
      {"ACK at once, then the drain's echo", {{ack + "bye"}}, {}, {}, "Ebye", 1, 5},
      {"NAK after every EOT", {}, nak, {}, repeat("F", 10), 10, 101},
      {"silence", {}, {}, {}, "", 10, 101},
      {"other bytes do not end the reads early", {{nak + "?" + ack}}, {}, {}, "FFE", 1, 4},
      {"a failed EOT write goes unnoticed", {{ack}}, {}, {{1, {31}}}, "E", 2, 12},
  };
  for (const EotCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    line().write_faults = c.write_faults;
    ScriptedTarget target;
    target.answer(1, c.replies, {c.rest});
    std::vector<std::uint64_t> reads_at_eot;
    target.on_each_write = [&](std::string_view, int) { reads_at_eot.push_back(line().reads); };
    target.attach();

    send_eot();
    ASSERT_EQ(line().writes.size(), c.eots);
    for (std::size_t i = 0; i < c.eots; ++i) {
      if (c.write_faults.count(i + 1) == 0) {
        EXPECT_EQ(line().writes[i].bytes, "\x04");
      }
    }
    // Each EOT after the first follows the previous one's ten reads, not sooner.
    for (std::size_t i = 0; i < reads_at_eot.size(); ++i) {
      const std::uint64_t eot_number = c.eots - reads_at_eot.size() + i;
      EXPECT_EQ(reads_at_eot[i], 10 * eot_number);
    }
    EXPECT_EQ(line().reads, c.reads);
    EXPECT_TRUE(line().sleeps().empty()) << "no pause before the reads";
    EXPECT_EQ(output(), c.output);
  }
}
