// The flash sequence inside a whole run, against the virtual board: the order
// of the steps, the poll for the flash writer's first answer, which failures
// end the sequence early, and the exit status each way out gives.
#include <algorithm>
#include <cstring>

#include "board_run.h"

namespace {

class FlashSequenceTest : public BoardRunTest {
 protected:
  void SetUp() override {
    BoardRunTest::SetUp();
    make_inputs(1000, 5000);
  }

  int run(sim::BoardConfig config) {
    board = std::make_unique<sim::Board>(config);
    return run_against(*board, pel, image);
  }

  std::size_t packets_sent() {
    return static_cast<std::size_t>(std::count_if(
        line().writes.begin(), line().writes.end(),
        [](const sim::RecordedWrite& w) { return w.bytes.size() == 67 && w.bytes[0] == 1; }));
  }
  std::size_t polls() {
    const auto sleeps = line().sleeps();
    return static_cast<std::size_t>(std::count(sleeps.begin(), sleeps.end(), 200u));
  }
};

const std::string go_command = "g 8000:0\n\r";

}  // namespace

TEST_F(FlashSequenceTest, FullRunFlashesTheImageAndSaysSo) {
  EXPECT_EQ(run({}), exit_flashed);
  EXPECT_EQ(board->loaded_file(), pel_bytes);
  EXPECT_TRUE(board->flash_image_equals(image_bytes));
  EXPECT_EQ(packets_sent(), (image_bytes.size() + 63) / 64);

  // Every command went out in order, each at the speed the board listened at.
  std::vector<std::string> sent;
  for (const sim::RecordedWrite& write : line().writes) {
    if (write.bytes.size() < 25 && write.bytes[0] != 1 && write.bytes[0] != 4) {
      sent.push_back(write.bytes);
    }
  }
  const std::vector<std::string> expected = {"speed  38  0  \n\r\n\r",
                                             "\n\r",
                                             "dls\n\r",
                                             "yload 8000:0\n\r",
                                             go_command,
                                             "db 8000:0\n\r",
                                             "d\n\r",
                                             "speed   96  0  \n\r\n\r"};
  EXPECT_EQ(sent, expected);
  for (const auto& command : board->commands()) {
    const bool raise = command.text.rfind("speed  38", 0) == 0;
    if (raise || command.text.rfind("yload", 0) == 0 || command.text.rfind("speed   96", 0) == 0) {
      EXPECT_EQ(command.host_baud, raise ? 9600u : 38400u) << command.text;
    }
  }
  const std::string shown = output();
  EXPECT_NE(shown.find("Quarn flash writer"), std::string::npos) << "the first answer is echoed";
  EXPECT_EQ(line().dcb.BaudRate, 9600u);
}

TEST_F(FlashSequenceTest, NoSegmentMeansNoUploadNoStartNoClosingCommands) {
  sim::BoardConfig config;
  config.dls_answer = "";
  EXPECT_EQ(run(config), exit_flash_incomplete);
  EXPECT_EQ(writes_starting("yload"), 0u);
  EXPECT_EQ(writes_starting("g "), 0u);
  EXPECT_EQ(writes_starting("db"), 0u);
  EXPECT_EQ(line().writes.back().bytes, "speed   96  0  \n\r\n\r");
  EXPECT_NE(output().find("Error getting download address\n"), std::string::npos);
}

TEST_F(FlashSequenceTest, MissingFlashWriterStopsBeforeTheStart) {
  pel = missing("nowhere.bin");
  EXPECT_EQ(run({}), exit_flash_incomplete);
  EXPECT_EQ(writes_starting("yload"), 0u);
  EXPECT_EQ(writes_starting("g "), 0u);
  EXPECT_EQ(writes_starting("db"), 0u);
  EXPECT_EQ(line().writes.back().bytes, "speed   96  0  \n\r\n\r");
  EXPECT_NE(output().find("Error opening file: process aborted\n"), std::string::npos);
}

TEST_F(FlashSequenceTest, EscapeAsFirstAnswerSkipsTheFeedButClosesProperly) {
  sim::BoardConfig config;
  config.flash_first_answer = "\r\nflash not supported\r\n\x1b";
  EXPECT_EQ(run(config), exit_flash_incomplete);
  EXPECT_EQ(packets_sent(), 0u);
  EXPECT_EQ(writes_starting("db 8000:0\n\r"), 1u);
  EXPECT_EQ(writes_starting("d\n\r"), 1u);
  EXPECT_EQ(line().writes.back().bytes, "speed   96  0  \n\r\n\r");
  output();
}

TEST_F(FlashSequenceTest, FirstAnswerIsTheFirstControlByteOfAPoll) {
  struct Case {
    std::string first_answer;
    bool feeds;
  };
  const std::vector<Case> cases = {
      {"ready\r\n\x06", true},  // text, then ACK, in one poll
      {"a\x15"
       "b\x1b",
       true},  // NAK before ESC: NAK is the answer
      {"a\x1b"
       "b\x15",
       false},  // and the other way round
  };
  for (const Case& c : cases) {
    SetUp();
    sim::BoardConfig config;
    config.flash_first_answer = c.first_answer;
    config.flash_first_answer_delay = sim::millis(100);
    run(config);
    EXPECT_EQ(polls(), 1u);
    EXPECT_EQ(packets_sent() > 0, c.feeds) << c.first_answer;
    EXPECT_NE(output().find(c.first_answer), std::string::npos) << "every byte is echoed";
  }
}

TEST_F(FlashSequenceTest, FullPollWithoutAnswerLeavesTheRestForTheNext) {
  sim::BoardConfig config;
  config.pace_output = false;
  config.flash_first_answer = repeat("x", 150) + "\x06";
  config.flash_first_answer_delay = sim::millis(100);
  EXPECT_EQ(run(config), exit_flashed);
  EXPECT_EQ(polls(), 2u);
  EXPECT_NE(output().find(repeat("x", 150) + "\x06"), std::string::npos);
}

TEST_F(FlashSequenceTest, SilentFlashWriterGetsTheImageAfterSixHundredFortyPolls) {
  sim::BoardConfig config;
  config.flash_first_answer = "";
  config.flash_ready_ack = false;
  run(config);
  EXPECT_EQ(polls(), 640u);
  EXPECT_GT(packets_sent(), 0u);
  output();
}

TEST_F(FlashSequenceTest, PollNeverTakesStaleBufferBytesForAnAnswer) {
  sim::BoardConfig config;
  config.flash_first_answer = "";
  config.flash_ready_ack = false;
  board = std::make_unique<sim::Board>(config);
  line().attach(board.get());
  board->power_up(0);
  ASSERT_EQ(configure_port(9600), 0);
  ASSERT_EQ(wait_prompt(3000), 1);

  // Everything but the start command's own text is ESC, as if left over.
  char command_buffer[command_buffer_size];
  std::memset(command_buffer, 0x1b, sizeof command_buffer);
  std::uint32_t segment = 0;
  run_flash_sequence(pel.c_str(), image.c_str(), command_buffer, &segment);
  EXPECT_EQ(polls(), 640u);
  EXPECT_GT(packets_sent(), 0u) << "no ESC was received, so the image is fed";
  output();
}

TEST_F(FlashSequenceTest, MissingImageStillClosesAndRestores) {
  image = missing("nowhere.img");
  EXPECT_EQ(run({}), exit_flash_incomplete);
  EXPECT_EQ(packets_sent(), 0u);
  EXPECT_EQ(writes_starting("db 8000:0\n\r"), 1u);
  EXPECT_EQ(writes_starting("d\n\r"), 1u);
  EXPECT_EQ(line().writes.back().bytes, "speed   96  0  \n\r\n\r");
  EXPECT_NE(output().find("Error opening file " + image + ": process aborted\n"),
            std::string::npos);
}
