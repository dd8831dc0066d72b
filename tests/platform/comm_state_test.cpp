// GetCommState / SetCommState against the termios that the far side of the
// pseudo-terminal sees.
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include "pty_fixture.h"

namespace {

termios cooked_with_flow_control() {
  termios tio{};
  tio.c_iflag = ICRNL | INLCR | ISTRIP | IXON | IXOFF | IXANY | BRKINT;
  tio.c_oflag = OPOST | ONLCR;
  tio.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
  tio.c_cflag = CS7 | CREAD | PARENB;
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  return tio;
}

// Every field of the record, so that a comparison names the one that moved.
void expect_same_dcb(const DCB& a, const DCB& b) {
  EXPECT_EQ(a.DCBlength, b.DCBlength);
  EXPECT_EQ(a.BaudRate, b.BaudRate);
  EXPECT_EQ(a.fBinary, b.fBinary);
  EXPECT_EQ(a.fParity, b.fParity);
  EXPECT_EQ(a.fOutxCtsFlow, b.fOutxCtsFlow);
  EXPECT_EQ(a.fOutxDsrFlow, b.fOutxDsrFlow);
  EXPECT_EQ(a.fDtrControl, b.fDtrControl);
  EXPECT_EQ(a.fDsrSensitivity, b.fDsrSensitivity);
  EXPECT_EQ(a.fTXContinueOnXoff, b.fTXContinueOnXoff);
  EXPECT_EQ(a.fOutX, b.fOutX);
  EXPECT_EQ(a.fInX, b.fInX);
  EXPECT_EQ(a.fErrorChar, b.fErrorChar);
  EXPECT_EQ(a.fNull, b.fNull);
  EXPECT_EQ(a.fRtsControl, b.fRtsControl);
  EXPECT_EQ(a.fAbortOnError, b.fAbortOnError);
  EXPECT_EQ(a.XonLim, b.XonLim);
  EXPECT_EQ(a.XoffLim, b.XoffLim);
  EXPECT_EQ(a.ByteSize, b.ByteSize);
  EXPECT_EQ(a.Parity, b.Parity);
  EXPECT_EQ(a.StopBits, b.StopBits);
  EXPECT_EQ(a.XonChar, b.XonChar);
  EXPECT_EQ(a.XoffChar, b.XoffChar);
  EXPECT_EQ(a.ErrorChar, b.ErrorChar);
  EXPECT_EQ(a.EofChar, b.EofChar);
  EXPECT_EQ(a.EvtChar, b.EvtChar);
}

using CommState = PortTest;

TEST_F(CommState, PortComesUpRawWithoutSoftwareFlowControl) {
  pty.set_peer_view(cooked_with_flow_control());
  open_com1();

  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  EXPECT_EQ(dcb.fNull, 0u);
  EXPECT_EQ(dcb.BaudRate, 9600u);  // the speed waits for SetCommState

  const termios peer = pty.peer_view();
  EXPECT_EQ(peer.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP | BRKINT), 0u);
  EXPECT_EQ(peer.c_oflag & OPOST, 0u);
  EXPECT_EQ(peer.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

TEST_F(CommState, ConfigurationKeepsEverythingItDoesNotChange) {
  termios preset = pty.peer_view();
  preset.c_cflag |= CRTSCTS;
  preset.c_iflag |= INPCK;
  pty.set_peer_view(preset);
  open_com1();

  DCB before{};
  ASSERT_TRUE(GetCommState(port, &before));
  EXPECT_EQ(before.fOutxCtsFlow, 1u);
  EXPECT_EQ(before.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(before.fParity, 1u);

  configure(38400);
  configure(38400);  // twice leaves the port as once does

  DCB after{};
  ASSERT_TRUE(GetCommState(port, &after));
  DCB expected = before;
  expected.BaudRate = 38400;
  expected.ByteSize = 8;
  expected.Parity = NOPARITY;
  expected.StopBits = ONESTOPBIT;
  expect_same_dcb(after, expected);
  EXPECT_NE(pty.peer_view().c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(pty.peer_view().c_cflag & CLOCAL, preset.c_cflag & CLOCAL);
}

TEST_F(CommState, FieldsWithoutTermiosCounterpartRoundTrip) {
  open_com1();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.fAbortOnError = 1;
  dcb.fNull = 1;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fTXContinueOnXoff = 1;
  dcb.XonLim = 100;
  dcb.XoffLim = 200;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '\n';
  ASSERT_TRUE(SetCommState(port, &dcb));

  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));
  expect_same_dcb(back, dcb);
}

TEST_F(CommState, SoftwareFlowControlMapsToIxonIxoff) {
  open_com1();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.XonChar = 0x05;
  dcb.XoffChar = 0x07;
  ASSERT_TRUE(SetCommState(port, &dcb));
  termios peer = pty.peer_view();
  EXPECT_EQ(peer.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(peer.c_cc[VSTART], 0x05);
  EXPECT_EQ(peer.c_cc[VSTOP], 0x07);

  dcb.fOutX = 0;
  dcb.fInX = 0;
  ASSERT_TRUE(SetCommState(port, &dcb));
  EXPECT_EQ(pty.peer_view().c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(CommState, SetAgainMakesAPortRawThatWasCookedMeanwhile) {
  open_com1();
  pty.set_peer_view(cooked_with_flow_control());
  configure(9600);
  const termios peer = pty.peer_view();
  EXPECT_EQ(peer.c_iflag & (ICRNL | INLCR | ISTRIP), 0u);
  EXPECT_EQ(peer.c_oflag & OPOST, 0u);
  EXPECT_EQ(peer.c_lflag & (ICANON | ECHO | ISIG), 0u);
}

struct SpeedCase {
  DWORD baud;
  speed_t constant;
};

void PrintTo(const SpeedCase& c, std::ostream* os) {
  *os << c.baud << " baud";
}

class Speed : public PortTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(Speed, ShowsInThePeersTermiosAndComesBack) {
  open_com1();
  configure(GetParam().baud);
  const termios peer = pty.peer_view();
  EXPECT_EQ(cfgetospeed(&peer), GetParam().constant);
  EXPECT_EQ(cfgetispeed(&peer), GetParam().constant);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, GetParam().baud);
}

INSTANTIATE_TEST_SUITE_P(StandardSpeeds, Speed,
                         ::testing::Values(SpeedCase{9600, B9600}, SpeedCase{38400, B38400},
                                           SpeedCase{50, B50}, SpeedCase{115200, B115200},
                                           SpeedCase{4000000, B4000000}),
                         [](const auto& info) { return "Baud" + std::to_string(info.param.baud); });

// A pseudo-terminal keeps stop bits but always has eight data bits and no
// parity; the mapping of the others is checked in termios_map_test.cpp.
TEST_F(CommState, StopBitsMapToCstopb) {
  open_com1();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  for (BYTE stop_bits : {BYTE{2}, BYTE{0}}) {
    dcb.StopBits = stop_bits;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(pty.peer_view().c_cflag & CSTOPB, stop_bits == 2 ? CSTOPB : 0u);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.StopBits, stop_bits);
  }
}

TEST_F(CommState, FramingTheDriverRefusesFailsAndRestoresTheSpeed) {
  open_com1();
  configure(9600);
  const termios peer_before = pty.peer_view();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 19200;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
  const termios peer_after = pty.peer_view();
  EXPECT_EQ(cfgetospeed(&peer_after), B9600);
  EXPECT_EQ(peer_after.c_cflag, peer_before.c_cflag);
}

struct RejectedCase {
  const char* what;
  DWORD baud;
  BYTE byte_size;
  BYTE parity;
  BYTE stop_bits;
};

void PrintTo(const RejectedCase& c, std::ostream* os) {
  *os << c.what;
}

class Rejected : public PortTest, public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(Rejected, FailsWithEinvalAndChangesNothing) {
  open_com1();
  configure(9600);
  DCB before{};
  ASSERT_TRUE(GetCommState(port, &before));
  const termios peer_before = pty.peer_view();

  DCB dcb = before;
  dcb.BaudRate = GetParam().baud;
  dcb.ByteSize = GetParam().byte_size;
  dcb.Parity = GetParam().parity;
  dcb.StopBits = GetParam().stop_bits;
  dcb.fAbortOnError = 1;
  EXPECT_FALSE(SetCommState(port, &dcb)) << GetParam().what;
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));

  const termios peer_after = pty.peer_view();
  EXPECT_EQ(std::memcmp(&peer_before, &peer_after, sizeof(termios)), 0);
  DCB after{};
  ASSERT_TRUE(GetCommState(port, &after));
  expect_same_dcb(after, before);
}

INSTANTIATE_TEST_SUITE_P(Records, Rejected,
                         ::testing::Values(RejectedCase{"OddSpeed", 12345, 8, 0, 0},
                                           RejectedCase{"ZeroSpeed", 0, 8, 0, 0},
                                           RejectedCase{"NineDataBits", 9600, 9, 0, 0},
                                           RejectedCase{"FourDataBits", 9600, 4, 0, 0},
                                           RejectedCase{"ParityFive", 9600, 8, 5, 0},
                                           RejectedCase{"OneAndAHalfStopBits", 9600, 8, 0, 1}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
