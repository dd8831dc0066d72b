// The flash writer upload: the "yload" command, the header and data frames
// on the wire, how each unanswered frame ends the transfer, the closing of
// the batch on every path once the command went out, and the files that are
// refused before anything is sent.
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "line_fixture.h"
#include "transfer_helpers.h"

namespace {

const std::string ack = "\x06";
const std::string nak = "\x15";
const std::string retry_message = "Ymodem send_frame retry count exceeded\n";
const std::string zeros(128, '\0');

// The header data: the path, NUL, the length in decimal, NUL, then zeros.
std::string header_data(const std::string& path, std::size_t length) {
  std::string data = path + '\0' + std::to_string(length) + '\0';
  data.resize(128, '\0');
  return data;
}

// Data frame k (from 1) of `content`: its 128 bytes, SUB after the file's end.
std::string block_data(const std::string& content, std::size_t k) {
  const std::size_t from = (k - 1) * 128;
  std::string data = from < content.size() ? content.substr(from, 128) : "";
  data.resize(128, '\x1A');
  return data;
}

class YmodemUploadTest : public LineTest {
 protected:
  // A loader that ACKs every frame and the EOT, unless told otherwise.
  void attach_loader(std::vector<Reply> frame_replies = {}) {
    target = ScriptedTarget();
    target.answer(ymodem_frame_size, std::move(frame_replies), {ack});
    target.answer(1, {}, {ack});
    target.attach();
  }

  std::vector<std::string> written() const {
    std::vector<std::string> all;
    for (const sim::RecordedWrite& write : sim::virtual_line().writes) all.push_back(write.bytes);
    return all;
  }

  TempWorkDir dir;
  ScriptedTarget target;
};

}  // namespace

TEST_F(YmodemUploadTest, FramesOfCompleteUploads) {
  for (const std::size_t size : {0u, 128u, 129u, 300u}) {
    SCOPED_TRACE(size);
    SetUp();
    const std::string content = pattern_bytes(size);
    write_file("a.bin", content);
    attach_loader();
    serial_counter = 200;  // as a previous transfer may leave it

    EXPECT_EQ(ymodem_send("a.bin", 0x1a2b), 1);
    const std::vector<std::string> w = written();
    const std::size_t frames = size / 128 + 1;
    ASSERT_EQ(w.size(), 1 + 1 + frames + 1 + 1);
    EXPECT_EQ(w[0], "yload 1a2b:0\n\r");
    expect_frame(w[1], 0, header_data("a.bin", size));
    for (std::size_t k = 1; k <= frames; ++k) expect_frame(w[1 + k], k, block_data(content, k));
    EXPECT_EQ(w[2 + frames], "\x04");
    expect_frame(w.back(), 0, zeros);
    EXPECT_EQ(w.back().substr(131), std::string(2, '\0')) << "the CRC of 128 zero bytes is 0";
    EXPECT_EQ(serial_counter, frames) << "the null end frame leaves the counter alone";
    EXPECT_EQ(output(), repeat("*", static_cast<int>(frames) + 1) + "E*");
    if (size == 300) {
      EXPECT_EQ(w[1].substr(3, 128), std::string("a.bin\0"
                                                 "300\0",
                                                 10) +
                                         std::string(118, '\0'));
      EXPECT_EQ(w[4].substr(3 + 44), std::string(84, '\x1A') + w[4].substr(131));
    }
  }
}

TEST_F(YmodemUploadTest, BlockNumbersWrapAfter255) {
  const std::string content = pattern_bytes(256 * 128 + 10);
  write_file("big.bin", content);
  attach_loader();
  EXPECT_EQ(ymodem_send("big.bin", 0x8000), 1);
  const std::vector<std::string> w = written();
  ASSERT_EQ(w.size(), 1u + 1 + 257 + 1 + 1);
  for (std::size_t k = 1; k <= 257; ++k) expect_frame(w[1 + k], k % 256, block_data(content, k));
  EXPECT_EQ(w[1 + 256].substr(1, 2), std::string("\x00\xFF", 2));
  EXPECT_EQ(w[1 + 257][1], 1);
  EXPECT_EQ(serial_counter, 1);
  output();
}

TEST_F(YmodemUploadTest, CommandTextPauseAndEchoOfTheMonitor) {
  struct Case {
    std::uint32_t segment;
    std::string command;
  };
  for (const Case& c : {Case{0, "yload 0:0\n\r"}, Case{0xABCDEF01, "yload abcdef01:0\n\r"}}) {
    SCOPED_TRACE(c.command);
    SetUp();
    write_file("a.bin", "flash writer");
    attach_loader();
    target.on_each_write = [](std::string_view bytes, int) {
      if (bytes.substr(0, 5) == "yload") sim::virtual_line().send_to_host("\r\nloading\r\n");
    };
    EXPECT_EQ(ymodem_send("a.bin", c.segment), 1);
    const sim::VirtualLine& l = line();
    ASSERT_GE(l.calls.size(), 2u);
    EXPECT_EQ(l.writes[0].bytes, c.command);
    EXPECT_EQ(l.calls[0].name, "WriteFile");
    EXPECT_EQ(l.calls[1].name, "Sleep");
    EXPECT_EQ(l.calls[1].value, 1000u);
    // No start request is awaited: the header follows the pause, the echo of
    // what the monitor said and the frame's own drain.
    EXPECT_EQ(l.writes[1].at, sim::millis(1000 + 10 + 10));
    EXPECT_EQ(output(), "\r\nloading\r\n**E*");
  }
}

TEST_F(YmodemUploadTest, UnansweredFramesAndTheClosingPhase) {
  const Reply silence{};
  struct Case {
    const char* name;
    std::vector<Reply> replies;  // to the 133-byte writes in order; ACK after them
    std::vector<int> blocks;     // block numbers of the 133-byte writes
    int result;
    std::string output;
  };
  const std::vector<Case> cases = {
      {"header not ACKed",
       std::vector<Reply>(5, silence),
       {0, 0, 0, 0, 0, 0},
       0,
       repeat("1", 50) + retry_message + "E*"},
      {"ordinary frame not ACKed",
       {{ack}, {ack}, {nak}, {nak}, {nak}, {nak}, {nak}},
       {0, 1, 2, 2, 2, 2, 2, 0},
       0,
       "**/////" + retry_message + "E*"},
      {"last frame not ACKed",
       {{ack}, {ack}, {ack}, {nak}, {nak}, {nak}, {nak}, {nak}},
       {0, 1, 2, 3, 3, 3, 3, 3, 0},
       0,
       "***/////" + retry_message + "E*"},
      {"null end frame not ACKed",
       {{ack}, {ack}, {ack}, {ack}, {nak}, {nak}, {nak}, {nak}, {nak}},
       {0, 1, 2, 3, 0, 0, 0, 0, 0},
       1,
       "****E/////" + retry_message + "Error sending final null pkt 0\n"},
      {"header and null end frame not ACKed",
       {silence, silence, silence, silence, silence, {nak}, {nak}, {nak}, {nak}, {nak}},
       {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       0,
       repeat("1", 50) + retry_message + "E/////" + retry_message +
           "Error sending final null pkt 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    const std::string content = pattern_bytes(300);
    write_file("a.bin", content);
    attach_loader(c.replies);
    std::vector<std::size_t> open_at_null_frame;
    target.on_each_write = [&](std::string_view bytes, int) {
      if (bytes.size() == 133 && bytes.substr(3, 128) == zeros) {
        open_at_null_frame.push_back(descriptors_on("a.bin").size());
      }
    };

    EXPECT_EQ(ymodem_send("a.bin", 0x1a2b), c.result);
    const std::vector<std::string> w = written();
    std::vector<int> blocks;
    for (const std::string& bytes : w) {
      if (bytes.size() == 133) blocks.push_back(static_cast<std::uint8_t>(bytes[1]));
    }
    EXPECT_EQ(blocks, c.blocks);
    // One EOT; every frame before it is the header or file data, every frame
    // after it the null end frame.
    ASSERT_EQ(std::count(w.begin(), w.end(), "\x04"), 1);
    const std::size_t eot = std::find(w.begin(), w.end(), "\x04") - w.begin();
    for (std::size_t i = 1; i < eot; ++i) {
      const int block = static_cast<std::uint8_t>(w[i][1]);
      expect_frame(w[i], block,
                   block == 0 ? header_data("a.bin", 300) : block_data(content, block));
    }
    ASSERT_LT(eot + 1, w.size());
    for (std::size_t i = eot + 1; i < w.size(); ++i) expect_frame(w[i], 0, zeros);
    EXPECT_EQ(open_at_null_frame, std::vector<std::size_t>(w.size() - eot - 1, 0))
        << "the file is closed before the null end frame";
    EXPECT_EQ(output(), c.output);
  }
}

TEST_F(YmodemUploadTest, ReadErrorEndsTheDataFramesAndClosesTheBatch) {
  // The reads of the file are made to fail once the header is on the wire.
  // Where a read then fails depends on how much the stream has buffered, so
  // the check is what must hold wherever it fails: only full frames of file
  // data go out, in order, then the message, the EOT and the null end frame,
  // and the result is 0. A 300-byte file is wholly buffered by then (any
  // buffer holds it), so its third frame's read stops after 44 bytes with the
  // error indicator set: that short read must not pass for the end of the
  // file, or a truncated flash writer would be reported as uploaded.
  const std::string message = "Error reading file a.bin: 1\n";
  for (const std::size_t size : {300u, 8192u}) {
    SCOPED_TRACE(size);
    SetUp();
    const std::string content = pattern_bytes(size);
    write_file("a.bin", content);
    attach_loader();
    target.on_each_write = [&](std::string_view bytes, int nth) {
      if (bytes.size() == 133 && nth == 1) break_reads_of("a.bin");
    };
    EXPECT_EQ(ymodem_send("a.bin", 0x1a2b), 0);
    const std::vector<std::string> w = written();
    ASSERT_GE(w.size(), 4u);
    expect_frame(w[1], 0, header_data("a.bin", size));
    const std::size_t data_frames = w.size() - 4;
    for (std::size_t k = 1; k <= data_frames; ++k) {
      expect_frame(w[1 + k], k, content.substr((k - 1) * 128, 128));
    }
    EXPECT_LT(data_frames * 128, size) << "the file's last frame was sent";
    if (size == 300) {
      EXPECT_EQ(data_frames, 2u);
    }
    EXPECT_EQ(w[w.size() - 2], "\x04");
    expect_frame(w.back(), 0, zeros);
    EXPECT_EQ(output(), repeat("*", static_cast<int>(data_frames) + 1) + message + "E*");
  }
}

TEST_F(YmodemUploadTest, MissingFileSendsNothing) {
  serial_counter = 77;
  EXPECT_EQ(ymodem_send("missing.bin", 0x1a2b), 0);
  EXPECT_TRUE(line().writes.empty());
  EXPECT_TRUE(line().calls.empty());
  EXPECT_EQ(line().reads, 0u);
  EXPECT_EQ(serial_counter, 77);
  EXPECT_EQ(output(), "Error opening file: process aborted\n");
}

TEST_F(YmodemUploadTest, FilesTheHeaderCannotCarryAreRefusedBeforeTheCommand) {
  // Name, NUL, three digits and NUL fill the 128 header bytes exactly.
  const std::string at_limit(123, 'n');
  const std::string too_long(124, 'n');
  write_file(at_limit, pattern_bytes(300));
  write_file(too_long, pattern_bytes(300));
  std::filesystem::create_directory("adir");
  { std::ofstream big("big.bin", std::ios::binary); }
  std::filesystem::resize_file("big.bin", std::uintmax_t{1} << 31);  // sparse: takes no room
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const std::string unseekable = "/proc/self/fd/" + std::to_string(pipe_ends[0]);

  for (const std::string& path :
       {too_long, std::string("adir"), std::string("big.bin"), unseekable}) {
    SCOPED_TRACE(path);
    SetUp();
    serial_counter = 77;
    attach_loader();
    EXPECT_EQ(ymodem_send(path.c_str(), 0x1a2b), 0);
    EXPECT_TRUE(line().writes.empty());
    EXPECT_TRUE(line().calls.empty());
    EXPECT_EQ(serial_counter, 77);
    const std::string shown = output();
    EXPECT_NE(shown.find(path), std::string::npos) << shown;
    EXPECT_EQ(shown.back(), '\n');
  }
  close(pipe_ends[0]);
  close(pipe_ends[1]);

  SetUp();
  attach_loader();
  EXPECT_EQ(ymodem_send(at_limit.c_str(), 0x1a2b), 1);
  ASSERT_GE(line().writes.size(), 2u);
  expect_frame(line().writes[1].bytes, 0, at_limit + '\0' + "300" + '\0');
  output();
}
