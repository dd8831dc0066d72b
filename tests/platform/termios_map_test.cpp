// The DCB <-> termios mapping on its own, for the framings that a
// pseudo-terminal cannot hold (it forces eight data bits and no parity).
#include "platform/linux/termios_map.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

namespace {

using quarnprog::platform::dcb_from_termios;
using quarnprog::platform::termios_from_dcb;

struct FramingCase {
  const char* name;
  BYTE byte_size;
  BYTE parity;
  BYTE stop_bits;
  tcflag_t cflag;  // CSIZE, PARENB, PARODD, CMSPAR and CSTOPB as termios holds them
};

void PrintTo(const FramingCase& c, std::ostream* os) {
  *os << c.name;
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, MapsToTermiosAndBack) {
  termios tio{};
  tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;  // leftovers to replace
  DCB dcb{};
  dcb.BaudRate = 9600;
  dcb.ByteSize = GetParam().byte_size;
  dcb.Parity = GetParam().parity;
  dcb.StopBits = GetParam().stop_bits;
  ASSERT_EQ(termios_from_dcb(dcb, tio), 0);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), GetParam().cflag);
  EXPECT_NE(tio.c_cflag & CLOCAL, 0u) << "modem-line settings must stay";

  DCB back{};
  dcb_from_termios(tio, back);
  EXPECT_EQ(back.ByteSize, GetParam().byte_size);
  EXPECT_EQ(back.Parity, GetParam().parity);
  EXPECT_EQ(back.StopBits, GetParam().stop_bits);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Framing,
    ::testing::Values(FramingCase{"EightNoneOne", 8, 0, 0, CS8},
                      FramingCase{"SevenEvenOne", 7, 2, 0, CS7 | PARENB},
                      FramingCase{"SevenOddTwo", 7, 1, 2, CS7 | PARENB | PARODD | CSTOPB},
                      FramingCase{"FiveMarkOne", 5, 3, 0, CS5 | PARENB | PARODD | CMSPAR},
                      FramingCase{"SixSpaceTwo", 6, 4, 2, CS6 | PARENB | CMSPAR | CSTOPB}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HardwareHandshake, EitherDcbSwitchTurnsOnCrtscts) {
  struct Case {
    DWORD cts_flow;
    DWORD rts_control;
    bool crtscts;
  } cases[] = {{0, RTS_CONTROL_ENABLE, false},
               {1, RTS_CONTROL_ENABLE, true},
               {0, RTS_CONTROL_HANDSHAKE, true},
               {1, RTS_CONTROL_HANDSHAKE, true}};
  for (const Case& c : cases) {
    termios tio{};
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fOutxCtsFlow = c.cts_flow;
    dcb.fRtsControl = c.rts_control;
    ASSERT_EQ(termios_from_dcb(dcb, tio), 0);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.crtscts) << c.cts_flow << "/" << c.rts_control;

    DCB back = dcb;
    dcb_from_termios(tio, back);
    EXPECT_EQ(back.fOutxCtsFlow, c.crtscts ? 1u : 0u);
    EXPECT_EQ(back.fRtsControl,
              c.crtscts ? static_cast<DWORD>(RTS_CONTROL_HANDSHAKE) : RTS_CONTROL_ENABLE);
  }
}

TEST(RawMode, IsMadeWhateverTheDcbSays) {
  termios tio{};
  tio.c_iflag = ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IXANY;
  tio.c_oflag = OPOST | ONLCR;
  tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  DCB dcb{};
  dcb.BaudRate = 38400;
  dcb.ByteSize = 8;
  ASSERT_EQ(termios_from_dcb(dcb, tio), 0);
  EXPECT_EQ(tio.c_iflag, 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_NE(tio.c_cflag & CREAD, 0u);
}

TEST(RejectedRecord, LeavesTheTermiosUntouched) {
  termios tio{};
  tio.c_cflag = CS7 | PARENB;
  tio.c_iflag = ICRNL;
  cfsetospeed(&tio, B1200);
  const termios before = tio;
  DCB dcb{};
  dcb.BaudRate = 12345;
  dcb.ByteSize = 8;
  EXPECT_EQ(termios_from_dcb(dcb, tio), EINVAL);
  EXPECT_EQ(tio.c_cflag, before.c_cflag);
  EXPECT_EQ(tio.c_iflag, before.c_iflag);
}

}  // namespace
