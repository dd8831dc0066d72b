// Bytes through the port in both directions: every value unchanged, NUL
// handling, full output queues and a far side that has gone.
#include <cerrno>
#include <ostream>
#include <string>
#include <thread>

#include "pty_fixture.h"

namespace {

constexpr COMMTIMEOUTS kProgramTimeouts{10, 10, 0, 0, 0};

// Reads one byte at a time, as the program does, until `count` bytes came
// or a read came back empty.
std::vector<unsigned char> read_bytewise(HANDLE port, std::size_t count) {
  std::vector<unsigned char> got;
  while (got.size() < count) {
    unsigned char byte = 0;
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(port, &byte, 1, &n, nullptr)) << GetLastError();
    if (n != 1) break;
    got.push_back(byte);
  }
  return got;
}

struct TransparencyCase {
  const char* name;
  bool configure_first;
};

void PrintTo(const TransparencyCase& c, std::ostream* os) {
  *os << c.name;
}

class Transparency : public PortTest, public ::testing::WithParamInterface<TransparencyCase> {};

TEST_P(Transparency, EveryByteValuePassesUnchangedBothWays) {
  // A terminal at its most meddlesome: line editing, echo, CR/LF mapping,
  // stripping of the eighth bit, output processing, XON/XOFF.
  termios garbage = pty.peer_view();
  garbage.c_iflag |= ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | BRKINT;
  garbage.c_oflag |= OPOST | ONLCR | OCRNL;
  garbage.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  pty.set_peer_view(garbage);
  open_com1();
  if (GetParam().configure_first) configure(38400);
  set_timeouts(kProgramTimeouts);

  const std::vector<unsigned char> bytes = all_byte_values();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(port, bytes.data(), 256, &written, nullptr));
  EXPECT_EQ(written, 256u);
  EXPECT_EQ(pty.receive(257, 200), bytes) << "host to peer";

  pty.send(bytes);
  EXPECT_EQ(read_bytewise(port, 257), bytes) << "peer to host";
  EXPECT_TRUE(pty.receive(1, 20).empty()) << "something was echoed";
}

INSTANTIATE_TEST_SUITE_P(Ports, Transparency,
                         ::testing::Values(TransparencyCase{"AsOpened", false},
                                           TransparencyCase{"AfterConfiguration", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct NullCase {
  const char* name;
  DWORD f_null;
  std::vector<unsigned char> delivered;
};

void PrintTo(const NullCase& c, std::ostream* os) {
  *os << "fNull " << c.name;
}

class NullBytes : public PortTest, public ::testing::WithParamInterface<NullCase> {};

TEST_P(NullBytes, AreDeliveredUnlessFNullIsSet) {
  open_com1();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.fNull = GetParam().f_null;
  ASSERT_TRUE(SetCommState(port, &dcb));
  set_timeouts(kProgramTimeouts);

  pty.send({'a', 0x00, 0x00, 'b'});
  EXPECT_EQ(read_bytewise(port, 5), GetParam().delivered);
}

INSTANTIATE_TEST_SUITE_P(Settings, NullBytes,
                         ::testing::Values(NullCase{"Cleared", 0, {'a', 0x00, 0x00, 'b'}},
                                           NullCase{"Set", 1, {'a', 'b'}}),
                         [](const auto& info) { return std::string(info.param.name); });

using Write = PortTest;

TEST_F(Write, WaitsThroughAFullOutputQueueUntilEveryByteIsOut) {
  open_com1();
  std::vector<unsigned char> big(200000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i * 7 + i / 256);

  std::vector<unsigned char> seen;
  std::thread peer([&] { seen = pty.receive(big.size(), 10000); });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
  EXPECT_EQ(written, big.size());
  peer.join();
  EXPECT_EQ(seen, big);
}

TEST_F(Write, RunsOutOfTimeWithAShortCountWhenNobodyReads) {
  open_com1();
  set_timeouts(COMMTIMEOUTS{0, 0, 0, 0, 50});
  std::vector<unsigned char> big(1 << 20, 'x');
  DWORD written = 0;
  const long long start = now_ns();
  EXPECT_TRUE(WriteFile(port, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
  EXPECT_GE(elapsed_ms_since(start), 45.0);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

TEST_F(Write, FailsWithEioOnceTheFarSideHasGone) {
  open_com1();
  pty.close_master();
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(port, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EIO));
  EXPECT_EQ(written, 0u);
}

}  // namespace
