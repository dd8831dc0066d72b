// The receive primitives: what they take from the port, what they leave
// there for the next reader, what they echo, and when they give up.
#include <cstring>

#include "line_fixture.h"

using ReceiveTest = LineTest;

TEST_F(ReceiveTest, ReadEchoOnSilentLineMakesOneEmptyRead) {
  std::uint8_t buffer[100];
  std::memset(buffer, 0x55, sizeof buffer);
  EXPECT_EQ(read_echo(buffer, 100), 0);
  EXPECT_EQ(line().reads, 1u);
  EXPECT_EQ(line().now, sim::millis(10));
  EXPECT_EQ(buffer[0], 0x55);
  EXPECT_EQ(output(), "");
}

TEST_F(ReceiveTest, FullBufferReturnsAtOnceAndLeavesTheRestQueued) {
  std::string sent;
  for (int i = 0; i < 150; ++i) sent += static_cast<char>('A' + i % 26);
  line().send_to_host(sent);
  std::uint8_t buffer[100];
  EXPECT_EQ(read_echo(buffer, 100), 100);
  EXPECT_EQ(line().reads, 100u);  // no read after the hundredth byte
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 100), sent.substr(0, 100));
  EXPECT_EQ(line().pending_input(), 50u);
  EXPECT_EQ(read_echo(nullptr, 0), 50);
  EXPECT_EQ(output(), sent);
}

TEST_F(ReceiveTest, DrainReadsUntilTheFirstEmptyRead) {
  const std::string sent = repeat("x", 150);
  line().send_to_host(sent);
  line().send_to_host("late", sim::millis(100));
  EXPECT_EQ(read_echo(nullptr, 0), 150);
  EXPECT_EQ(line().reads, 151u);
  std::uint8_t buffer[4];
  EXPECT_EQ(read_echo(buffer, 0), 0) << "a capacity of 0 drains, as no buffer does";
  EXPECT_EQ(output(), sent);
}

TEST_F(ReceiveTest, NulBytesAreStoredAndEchoed) {
  line().send_to_host(std::string("a\0b", 3));
  std::uint8_t buffer[100];
  ASSERT_EQ(read_echo(buffer, 100), 3);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(output(), std::string("a\0b", 3));
}

TEST_F(ReceiveTest, DrainGivesUpOnATargetThatNeverFallsQuiet) {
  line().send_to_host(repeat("y", drain_byte_limit + 100));
  EXPECT_EQ(read_echo(nullptr, 0), drain_byte_limit);
  EXPECT_EQ(line().pending_input(), 100u);
  output();
}

TEST_F(ReceiveTest, WaitPromptOnSilentLineSpendsItsWholeBudget) {
  EXPECT_EQ(wait_prompt(3000), 0);
  EXPECT_EQ(line().reads, 3000u);
  EXPECT_EQ(line().now, sim::millis(30000));
  EXPECT_EQ(output(), "");
}

TEST_F(ReceiveTest, WaitPromptStopsAtTheColonAndLeavesWhatFollows) {
  line().send_to_host("abc:def");
  EXPECT_EQ(wait_prompt(1500), 1);
  EXPECT_EQ(line().reads, 4u);
  EXPECT_EQ(line().pending_input(), 3u);
  EXPECT_EQ(output(), "abc:");
}

TEST_F(ReceiveTest, WaitPromptFirstByteJustInTimeStopsTheBudget) {
  // The first byte arrives during the 1500th read; the ':' comes long after
  // the budget would have run out.
  line().send_to_host("x", sim::millis(1499 * 10 + 5));
  line().send_to_host(":", sim::millis(25000));
  EXPECT_EQ(wait_prompt(1500), 1);
  EXPECT_EQ(output(), "x:");
}

TEST_F(ReceiveTest, WaitPromptGivesUpOnTalkWithoutPrompt) {
  line().send_to_host("no prompt here");
  EXPECT_EQ(wait_prompt(1500), 0);
  EXPECT_EQ(line().empty_reads, static_cast<std::uint64_t>(prompt_silence_limit));
  output();

  SetUp();
  line().send_to_host(repeat("z", prompt_byte_limit + 10));
  EXPECT_EQ(wait_prompt(1500), 0);
  EXPECT_EQ(line().pending_input(), 10u);
  output();
}
