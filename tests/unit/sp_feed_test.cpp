// The image feed: packets on the wire, the ready wait, every kind of answer,
// failed reads and writes, and how each way of ending the feed shows in its
// result and in whether the EOT handshake runs.
#include <algorithm>

#include "line_fixture.h"
#include "transfer_helpers.h"

namespace {

const std::string ack = "\x06";
const std::string nak = "\x15";
const std::string esc = "\x1B";
const std::string eot = "\x04";

// Packet `serial` of `content` as it must go on the wire.
std::string expected_packet(const std::string& content, std::size_t number) {
  const std::size_t from = (number - 1) * 64;
  std::string data = from < content.size() ? content.substr(from, 64) : "";
  data.resize(64, '\0');
  std::uint8_t sum = 0;
  for (char c : data) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  std::string packet = {'\x01', static_cast<char>(number & 0xFF)};
  packet += data;
  packet += static_cast<char>(sum);
  return packet;
}

class SpFeedTest : public LineTest {
 protected:
  // A flash writer that ACKs each packet and the EOT unless told otherwise.
  void attach_writer(std::vector<Reply> packet_replies = {}, Reply rest = {ack}) {
    target = ScriptedTarget();
    target.answer(sp_packet_size, std::move(packet_replies), std::move(rest));
    target.answer(1, {}, {ack});
    target.attach();
  }

  std::size_t eots_written() const {
    const auto& w = sim::virtual_line().writes;
    return std::count_if(w.begin(), w.end(), [](const auto& write) { return write.bytes == eot; });
  }

  TempWorkDir dir;
  ScriptedTarget target;
};

const std::string empty_message = "Image file image.bin is empty: nothing was written\n";

}  // namespace

TEST_F(SpFeedTest, PacketsOfCompleteFeeds) {
  for (const std::size_t size : {0u, 65u, 128u, 64u * 256 + 1}) {
    SCOPED_TRACE(size);
    SetUp();
    const std::string content = pattern_bytes(size);
    write_file("image.bin", content);
    line().send_to_host(ack);  // ready
    attach_writer();
    std::uint64_t reads_at_first_write = 0;
    target.on_each_write = [&](std::string_view, int) {
      if (line().writes.size() == 1) reads_at_first_write = line().reads;
    };

    serial_counter = 200;  // as the upload leaves it
    const int result = send_sp_file("image.bin");
    const std::size_t packets = (size + 63) / 64;
    const auto& w = line().writes;
    ASSERT_EQ(w.size(), packets + 1);
    for (std::size_t k = 1; k <= packets; ++k) {
      ASSERT_EQ(w[k - 1].bytes, expected_packet(content, k)) << "packet " << k;
    }
    EXPECT_EQ(w.back().bytes, eot);
    EXPECT_EQ(reads_at_first_write, 1u) << "the ready wait took the ready ACK";
    EXPECT_EQ(serial_counter, packets % 256);
    EXPECT_EQ(mycount, static_cast<std::int32_t>(packets));
    if (size == 0) {
      EXPECT_EQ(result, sp_feed_incomplete);
      EXPECT_EQ(output(), "\nE" + empty_message);
      continue;
    }
    EXPECT_EQ(result, sp_feed_complete);
    const std::string marks = repeat("R*", static_cast<int>(packets));
    EXPECT_EQ(output(), "\n" + marks + "E");
    if (size == 65) {
      EXPECT_EQ(w[1].bytes.substr(2, 64), content.substr(64) + std::string(63, '\0'));
      EXPECT_EQ(w[1].bytes[66], content[64]) << "the zero fill adds nothing to the sum";
    }
    if (packets > 256) {
      EXPECT_EQ(w[255].bytes[1], 0);
      EXPECT_EQ(w[256].bytes[1], 1);
    }
  }
}

TEST_F(SpFeedTest, AnswersFailuresAndHowTheFeedEnds) {
  // A two-packet image. Read 1 is the ready wait's; the answer reads of the
  // first packet start at read 2.
  struct Case {
    const char* name;
    std::vector<Reply> replies;  // to the packet transmissions in order; ACK after them
    std::map<std::uint64_t, sim::ReadFault> read_faults;
    std::map<std::uint64_t, sim::WriteFault> write_faults;
    std::int32_t mycount_before;
    std::string output;  // after the "\n" of the ready wait
    std::size_t transmissions;
    std::size_t packets;  // packets completed (serial number and mycount advanced)
    bool eot;
    int result;
    std::vector<std::uint64_t> sleeps;
  };
  const Reply silence{};
  const std::string timed_out = "\nsend_sp_packet:b: ReadFile Failed error = ";
  const std::string read_failed = "send_sp_packet:a: ReadFile Failed error = 31\n";
  const sim::ReadFault failure{31, false};
  const sim::ReadFault failure_with_byte{31, true};
  const sim::ReadFault aborted{995, false};
  std::map<std::uint64_t, sim::ReadFault> all_aborted;
  for (std::uint64_t n = 2; n <= 11; ++n) all_aborted[n] = aborted;

  const std::vector<Case> cases = {
      {"NAK, then ACK", {{nak}}, {}, {}, 0, "R/R*R*E", 3, 2, true, sp_feed_complete, {}},
      // Nine empty reads with their 2 ms pauses take 108 ms.
      {"ACK on the tenth read",
       {{ack, sim::millis(113)}},
       {},
       {},
       0,
       repeat("R", 10) + "*R*E",
       2,
       2,
       true,
       sp_feed_complete,
       std::vector<std::uint64_t>(9, 2)},
      {"ten empty reads",
       {silence},
       {},
       {},
       41,
       repeat("R", 10) + timed_out + "0 mycount=42\nE",
       1,
       1,
       true,
       sp_feed_incomplete,
       std::vector<std::uint64_t>(10, 2)},
      {"five NAKs",
       {{nak}, {nak}, {nak}, {nak}, {nak}},
       {},
       {},
       0,
       repeat("R/", 5) + "E",
       5,
       1,
       true,
       sp_feed_incomplete,
       {}},
      {"two plain letters", {{"ok"}}, {}, {}, 0, "RokR*R*E", 3, 2, true, sp_feed_complete, {}},
      {"ESC", {{esc + "bort"}}, {}, {}, 0, "R|bort", 1, 1, false, sp_feed_incomplete, {}},
      {"aborted read",
       {},
       {{2, aborted}},
       {},
       0,
       "RXR*R*E",
       2,
       2,
       true,
       sp_feed_complete,
       {1000, 2}},
      {"ten aborted reads",
       {silence},
       all_aborted,
       {},
       0,
       repeat("RX", 10) + timed_out + "995 mycount=1\nE",
       1,
       1,
       true,
       sp_feed_incomplete,
       [] {
         std::vector<std::uint64_t> pauses;
         for (int i = 0; i < 10; ++i) pauses.insert(pauses.end(), {1000, 2});
         return pauses;
       }()},
      {"failed read",
       {silence},
       {{2, failure}},
       {},
       0,
       "R" + read_failed + "E",
       1,
       1,
       true,
       sp_feed_incomplete,
       {2}},
      {"failed tenth read: given up without the time-out message",
       {silence},
       {{11, failure}},
       {},
       0,
       repeat("R", 10) + read_failed + "E",
       1,
       1,
       true,
       sp_feed_incomplete,
       std::vector<std::uint64_t>(10, 2)},
      {"failed read that brings ACK",
       {},
       {{2, failure_with_byte}},
       {},
       0,
       "R" + read_failed + "*R*E",
       2,
       2,
       true,
       sp_feed_complete,
       {}},
      {"failed read that brings NAK",
       {{nak}},
       {{2, failure_with_byte}},
       {},
       0,
       "R" + read_failed + "/E",
       1,
       1,
       true,
       sp_feed_incomplete,
       {}},
      {"failed read that brings ESC",
       {{esc}},
       {{2, failure_with_byte}},
       {},
       0,
       "R" + read_failed + "|",
       1,
       1,
       false,
       sp_feed_incomplete,
       {}},
      {"failed packet write",
       {},
       {},
       {{1, {5}}},
       0,
       "send_sp_packet: WriteFile Failed error = 5\nE",
       1,
       1,
       true,
       sp_feed_incomplete,
       {}},
      {"short packet write",
       {},
       {},
       {{1, {0, 30}}},
       0,
       "Error writing simple file packet frame\nE",
       1,
       1,
       true,
       sp_feed_incomplete,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const std::string content = pattern_bytes(128);
    write_file("image.bin", content);
    line().send_to_host(ack);
    line().read_faults = c.read_faults;
    line().write_faults = c.write_faults;
    mycount = c.mycount_before;
    attach_writer(c.replies);

    EXPECT_EQ(send_sp_file("image.bin"), c.result);
    std::size_t transmissions = 0;
    for (const sim::RecordedWrite& write : line().writes) {
      if (write.bytes == eot) continue;
      ++transmissions;
      // Every full transmission carries its packet unchanged, resent or not.
      if (write.bytes.size() == 67) {
        EXPECT_EQ(write.bytes, expected_packet(content, static_cast<std::uint8_t>(write.bytes[1])));
      }
    }
    EXPECT_EQ(transmissions, c.transmissions);
    EXPECT_EQ(eots_written(), c.eot ? 1u : 0u);
    if (c.eot) {
      EXPECT_EQ(line().writes.back().bytes, eot);
    }
    EXPECT_EQ(serial_counter, c.packets);
    EXPECT_EQ(mycount, c.mycount_before + static_cast<std::int32_t>(c.packets));
    EXPECT_EQ(line().sleeps(), c.sleeps);
    EXPECT_EQ(output(), "\n" + c.output);
  }
}

TEST_F(SpFeedTest, ReadyWaitDropsWhatComesBeforeTheAckAndEndsAfter101Reads) {
  struct Case {
    std::string before;
    std::uint64_t reads;  // before the first packet
  };
  for (const Case& c : {Case{"", 101}, Case{"noise" + nak + ack, 7}}) {
    SCOPED_TRACE(c.before);
    SetUp();
    write_file("image.bin", pattern_bytes(64));
    line().send_to_host(c.before);
    attach_writer();
    std::uint64_t reads_at_first_write = 0;
    sim::Micros first_write_at = 0;
    target.on_each_write = [&](std::string_view, int) {
      if (line().writes.size() > 1) return;
      reads_at_first_write = line().reads;
      first_write_at = line().now;
    };
    EXPECT_EQ(send_sp_file("image.bin"), sp_feed_complete);
    EXPECT_EQ(reads_at_first_write, c.reads);
    EXPECT_EQ(line().empty_reads, c.before.empty() ? 101u + 1 : 1u) << "and the EOT's drain";
    if (c.before.empty()) {
      EXPECT_EQ(first_write_at, sim::millis(1010)) << "no pause in the wait";
    }
    EXPECT_TRUE(line().sleeps().empty());
    EXPECT_EQ(output(), "\nR*E");
  }
}

TEST_F(SpFeedTest, ImagesThatCannotBeOpenedSendNothing) {
  std::filesystem::create_directory("adir");
  for (const std::string& path : {std::string("nope.bin"), std::string("adir")}) {
    SCOPED_TRACE(path);
    SetUp();
    serial_counter = 9;
    attach_writer();
    EXPECT_EQ(send_sp_file(path.c_str()), sp_feed_open_failed);
    EXPECT_TRUE(line().writes.empty());
    EXPECT_TRUE(line().calls.empty());
    EXPECT_EQ(line().reads, 0u);
    EXPECT_EQ(serial_counter, 9);
    const std::string shown = output();
    if (path == "nope.bin") {
      EXPECT_EQ(shown, "Error opening file nope.bin: process aborted\n");
    } else {
      EXPECT_NE(shown.find(path), std::string::npos) << shown;
    }
  }
}

TEST_F(SpFeedTest, ReadErrorOfTheImageEndsTheFeedWithTheHandshake) {
  // The whole 128-byte image is in the stream's buffer after the first read,
  // so breaking the reads with the first packet fails the third read: an
  // error, not the end of the image.
  write_file("image.bin", pattern_bytes(128));
  line().send_to_host(ack);
  attach_writer();
  target.on_each_write = [](std::string_view bytes, int nth) {
    if (bytes.size() == 67 && nth == 1) break_reads_of("image.bin");
  };
  EXPECT_EQ(send_sp_file("image.bin"), sp_feed_incomplete);
  ASSERT_EQ(line().writes.size(), 3u);
  EXPECT_EQ(line().writes.back().bytes, eot);
  EXPECT_EQ(output(), "\nR*R*Error reading file image.bin\nE");
}
