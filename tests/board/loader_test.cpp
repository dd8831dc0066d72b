// The YMODEM loader behind "yload".
#include <gtest/gtest.h>

#include <cstdio>

#include "board_host.h"

namespace board_test {
namespace {

const std::string kAck = "\x06";
const std::string kNak = "\x15";
const std::string kEot = "\x04";

class LoaderTest : public ::testing::Test {
 protected:
  explicit LoaderTest(sim::BoardConfig config = {}) : host(std::move(config)) {}

  void start() {
    host.board.power_up(0);
    host.wait(ms(1000));
    host.send("yload 8000:0\n\r");
    ASSERT_EQ(host.wait(ms(100)), "\r\nYMODEM receive\r\nC");
  }
  std::string exchange(const Bytes& bytes) { return host.exchange(bytes); }
  std::string exchange(std::string_view bytes) { return host.exchange(bytes); }
  // Sends the whole file the way our host does; returns every answer.
  std::string upload(const std::string& name, const Bytes& file) {
    std::string answers = exchange(header(name, file.size()));
    std::uint8_t block = 0;
    for (std::size_t at = 0; at <= file.size(); at += 128) {
      answers += exchange(frame(++block, slice(file, at, 128)));
    }
    answers += exchange(kEot);
    return answers + exchange(null_frame());
  }

  Host host;
};

TEST_F(LoaderTest, StoresTheFileNaksBadFramesAndTakesRepeatsOnce) {
  start();
  const Bytes file = pattern(300);
  EXPECT_EQ(exchange(header("a.bin", 300)), kAck);
  Bytes bad = frame(1, slice(file, 0, 128));
  bad[40] ^= 0x10;
  EXPECT_EQ(exchange(bad), kNak);
  Bytes bad_complement = frame(1, slice(file, 0, 128));
  bad_complement[2] = 0xFF;
  EXPECT_EQ(exchange(bad_complement), kNak);
  EXPECT_EQ(exchange(frame(1, slice(file, 0, 128))), kAck);
  EXPECT_EQ(exchange(frame(1, slice(file, 0, 128))), kAck);    // our ACK was lost
  EXPECT_EQ(exchange(frame(3, slice(file, 256, 128))), kNak);  // out of order
  EXPECT_EQ(exchange(frame(2, slice(file, 128, 128))), kAck);
  EXPECT_EQ(exchange(frame(3, slice(file, 256, 128))), kAck);
  EXPECT_EQ(exchange(kEot), kAck);
  EXPECT_EQ(exchange(null_frame()), kAck + "\r\nLoaded 300 bytes\r\n:");

  EXPECT_EQ(host.board.loaded_file(), file);
  EXPECT_EQ(host.board.loaded_name(), "a.bin");
  EXPECT_TRUE(host.board.loaded_complete());
  EXPECT_TRUE(host.board.upload_finished());
  EXPECT_EQ(host.board.frames_taken(), 5u);
  EXPECT_EQ(host.board.loader_eots_acked(), 1u);
  EXPECT_EQ(host.board.naks_sent(), 3u);
  EXPECT_EQ(host.board.mode(), sim::Board::Mode::monitor);

  // The monitor shows the loaded bytes.
  host.send("db 8000:0\n\r");
  std::string row = "\r\n8000:0000 ";
  std::string printable;
  for (int i = 0; i < 16; ++i) {
    char hex[8];
    std::snprintf(hex, sizeof hex, " %02X", file[i]);
    row += hex;
    printable += file[i] >= 0x20 && file[i] < 0x7F ? static_cast<char>(file[i]) : '.';
  }
  row += "  " + printable + "\r\n8000:0010 ";
  const std::string dump = host.wait(ms(1000));
  EXPECT_EQ(dump.substr(0, row.size()), row);
  EXPECT_EQ(dump.back(), ':');
  host.send("d\n\r");
  EXPECT_EQ(host.wait(ms(1000)).substr(0, 11), "\r\n8000:0080");
}

TEST_F(LoaderTest, BlockNumbersWrapAfter255) {
  start();
  const Bytes file = pattern(256 * 128 + 10, 7);
  const std::string answers = upload("big.bin", file);
  EXPECT_EQ(answers, std::string(1 + 257 + 2, '\x06') + "\r\nLoaded 32778 bytes\r\n:");
  EXPECT_EQ(host.board.loaded_file(), file);
}

TEST_F(LoaderTest, StalledFrameIsNakedOnlyOnceTheGapHasPassed) {
  start();
  const Bytes head = header("x", 5);
  host.send(slice(head, 0, 60));
  EXPECT_EQ(host.wait(ms(45)), "");
  host.send(slice(head, 60, 200));  // in time: the NAK it would have had is withdrawn
  EXPECT_EQ(host.wait(ms(100)), kAck);

  const Bytes data = frame(1, {'h', 'e', 'l', 'l', 'o'});
  host.send(slice(data, 0, 100));
  EXPECT_EQ(host.wait(ms(60)), kNak);  // taken by the host before its next byte
  EXPECT_EQ(exchange(data), kAck);
  EXPECT_EQ(exchange(kEot), kAck);
  EXPECT_EQ(exchange(null_frame()), kAck + "\r\nLoaded 5 bytes\r\n:");
  EXPECT_EQ(text(host.board.loaded_file()), "hello");
}

TEST_F(LoaderTest, HostGivingUpAfterTheHeaderLeavesTheLoader) {
  start();
  EXPECT_EQ(exchange(kEot), kAck);  // no header was taken: EOT is still fine
  EXPECT_EQ(exchange(null_frame()), kAck + "\r\nNothing loaded\r\n:");
  EXPECT_TRUE(host.board.loaded_file().empty());
  EXPECT_EQ(exchange(std::string_view("\n\r")), "\r\n:");
}

TEST_F(LoaderTest, ShortUploadIsIncompleteAndCannotBeStarted) {
  start();
  EXPECT_EQ(exchange(header("a", 300)), kAck);
  EXPECT_EQ(exchange(frame(1, pattern(128))), kAck);
  EXPECT_EQ(exchange(kEot), kAck);
  EXPECT_EQ(exchange(null_frame()), kAck + "\r\nIncomplete download, 128 of 300 bytes\r\n:");
  EXPECT_FALSE(host.board.loaded_complete());
  EXPECT_EQ(exchange(std::string_view("g 8000:0\n\r")),
            "\r\nNo program loaded at that address\r\n:");
}

TEST_F(LoaderTest, SilentHostMakesTheLoaderGiveUp) {
  start();
  host.send(slice(header("x", 1), 0, 10));
  EXPECT_EQ(host.wait(ms(100)), kNak);
  EXPECT_EQ(host.wait(ms(9800)), "");
  EXPECT_EQ(host.wait(ms(200)), "\r\nYMODEM receive timed out\r\n:");
  EXPECT_EQ(exchange(std::string_view("dls\n\r")), "\r\nDLS: 8000\r\n:");
}

class ClassicLoader : public LoaderTest {
 protected:
  ClassicLoader()
      : LoaderTest([] {
          sim::BoardConfig config;
          config.loader_nak_first_eot = true;
          return config;
        }()) {}
};

TEST_F(ClassicLoader, NaksTheFirstEot) {
  start();
  const Bytes file = pattern(10);
  EXPECT_EQ(exchange(header("f", 10)), kAck);
  EXPECT_EQ(exchange(frame(1, file)), kAck);
  EXPECT_EQ(exchange(kEot), kNak);
  EXPECT_EQ(exchange(kEot), kAck);
  EXPECT_EQ(exchange(null_frame()), kAck + "\r\nLoaded 10 bytes\r\n:");
  EXPECT_EQ(host.board.loaded_file(), file);
}

}  // namespace
}  // namespace board_test
