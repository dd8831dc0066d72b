// The download-address query: the command, where the answer is read from,
// how it is parsed, and what is shown when it cannot be.
#include "monitor/dls_address.h"

#include "line_fixture.h"

namespace {

class DlsTest : public LineTest {
 protected:
  // The monitor echoes the command, gives its prompt, then `answer` arrives
  // starting `delay_ms` later.
  void answer_with(const std::string& answer, std::uint64_t delay_ms = 1) {
    line().on_write = [this, answer, delay_ms](std::string_view bytes) {
      if (bytes != "dls\n\r") return;
      line().send_to_host("dls\r\n:", line().now + sim::millis(1));
      line().send_to_host(answer, line().now + sim::millis(delay_ms));
    };
  }
  std::uint32_t segment = 0xdeadbeef;
};

}  // namespace

TEST_F(DlsTest, SegmentInEitherCaseAfterTheColon) {
  for (const std::string answer : {" 1A2B\r\n:", " 1a2b\r\n:", "\r\n8000\r\n:"}) {
    SetUp();
    answer_with(answer);
    segment = 0;
    EXPECT_EQ(get_dls_address(&segment), 1);
    EXPECT_EQ(segment, answer[1] == '\n' ? 0x8000u : 0x1a2bu) << answer;
    EXPECT_EQ(line().all_written(), "dls\n\r");
    EXPECT_EQ(line().sleeps(), std::vector<std::uint64_t>{50});
    EXPECT_EQ(output(), "dls\r\n:" + answer);
  }
}

TEST_F(DlsTest, NoAnswerAtAllFailsQuietlyAfterTheBudget) {
  EXPECT_EQ(get_dls_address(&segment), 0);
  EXPECT_EQ(segment, 0xdeadbeefu);
  EXPECT_EQ(line().empty_reads, 1u + 1500u);  // the drain, then the prompt wait
  EXPECT_TRUE(line().sleeps().empty());
  EXPECT_EQ(output(), "");
}

TEST_F(DlsTest, PromptWithNothingAfterItFailsQuietly) {
  answer_with("", 1);
  EXPECT_EQ(get_dls_address(&segment), 0);
  EXPECT_EQ(segment, 0xdeadbeefu);
  EXPECT_EQ(output(), "dls\r\n:");
}

TEST_F(DlsTest, NumberBeforeTheColonIsPassedOver) {
  line().on_write = [this](std::string_view) { line().send_to_host(" 1a2b:"); };
  EXPECT_EQ(get_dls_address(&segment), 0);
  EXPECT_EQ(output(), " 1a2b:");
}

TEST_F(DlsTest, UnconvertibleAnswerIsShownExactly) {
  struct Case {
    std::string answer;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"what?\r\n:", "what?\r\n:"},
      {" \r\n", " \r\n"},
      {std::string("\0 12", 4), ""},           // a NUL ends the text early
      {" 123456789\r\n:", " 123456789\r\n:"},  // more than 32 bits: refused, not truncated
  };
  for (const Case& c : cases) {
    SetUp();
    answer_with(c.answer);
    EXPECT_EQ(get_dls_address(&segment), 0);
    EXPECT_EQ(segment, 0xdeadbeefu);
    EXPECT_EQ(output(),
              "dls\r\n:" + c.answer + "Unable to convert Quarn dls address: " + c.shown + "\n");
  }
}

TEST_F(DlsTest, LongAnswerIsCutAtOneHundredBytes) {
  const std::string answer = " 1a2b" + repeat(" ", 95) + repeat("#", 20);
  answer_with(answer);
  EXPECT_EQ(get_dls_address(&segment), 1);
  EXPECT_EQ(segment, 0x1a2bu);
  EXPECT_EQ(line().pending_input(), 20u);
  EXPECT_EQ(output(), "dls\r\n:" + answer.substr(0, 100));
}

TEST_F(DlsTest, PauseInsideTheNumberCutsIt) {
  answer_with(" 1a");
  line().on_write = [this, first = line().on_write](std::string_view bytes) {
    first(bytes);
    line().send_to_host("2b\r\n:", line().now + sim::millis(200));
  };
  EXPECT_EQ(get_dls_address(&segment), 1);
  EXPECT_EQ(segment, 0x1au);
  output();
}

TEST(ParseSegment, ReadsTheLeadingNumberAsHexConversionDoes) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> value;
  };
  const Case cases[] = {
      {"0", 0u},
      {"  +1f:", 0x1fu},
      {"-1", 0xffffffffu},
      {"0x10", 0x10u},
      {"0XaB", 0xabu},
      {"0xZ", 0u},
      {"ffffffff", 0xffffffffu},
      {"100000000", {}},
      {"g", {}},
      {"+-1", {}},
      {"", {}},
      {"- 1", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_segment(c.text), c.value) << '"' << c.text << '"';
}
