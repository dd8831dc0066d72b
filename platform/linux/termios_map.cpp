#include "platform/linux/termios_map.h"

#include <cerrno>

namespace quarnprog::platform {

namespace {

struct SpeedEntry {
  DWORD baud;
  speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

const SpeedEntry* entry_for_baud(DWORD baud) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.baud == baud) return &e;
  }
  return nullptr;
}

DWORD baud_of(speed_t constant) {
  for (const SpeedEntry& e : kSpeeds) {
    if (e.constant == constant) return e.baud;
  }
  return 0;  // B0 (hang-up) or a custom rate
}

constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

}  // namespace

void make_raw(termios& tio) {
  // Breaks arrive as NUL bytes rather than signals; nothing is mapped,
  // stripped, marked or used for flow control behind the caller's back.
  tio.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY | IMAXBEL);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &=
      ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG | IEXTEN);
  tio.c_cflag |= CREAD;
  // Reads go through poll() with their own time-outs; these only make a
  // plain read() return whatever is there.
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
}

void dcb_from_termios(const termios& tio, DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = baud_of(cfgetospeed(&tio));
  dcb.fBinary = 1;

  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if ((tio.c_cflag & PARENB) == 0) {
    dcb.Parity = 0;
  } else if ((tio.c_cflag & CMSPAR) != 0) {
    dcb.Parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;  // mark : space
  } else {
    dcb.Parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;  // odd : even
  }
  dcb.StopBits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 0;
  dcb.fParity = (tio.c_iflag & INPCK) != 0 ? 1 : 0;

  // Linux has one switch for both directions of RTS/CTS handshaking.
  if ((tio.c_cflag & CRTSCTS) != 0) {
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else {
    dcb.fOutxCtsFlow = 0;
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
  }
  dcb.fOutX = (tio.c_iflag & IXON) != 0 ? 1 : 0;
  dcb.fInX = (tio.c_iflag & IXOFF) != 0 ? 1 : 0;
  dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

int termios_from_dcb(const DCB& dcb, termios& tio) {
  const SpeedEntry* speed = entry_for_baud(dcb.BaudRate);
  if (speed == nullptr) return EINVAL;

  tcflag_t size = 0;
  switch (dcb.ByteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return EINVAL;
  }
  tcflag_t parity = 0;
  switch (dcb.Parity) {
    case 0:
      parity = 0;
      break;
    case 1:
      parity = PARENB | PARODD;
      break;
    case 2:
      parity = PARENB;
      break;
    case 3:
      parity = PARENB | CMSPAR | PARODD;
      break;
    case 4:
      parity = PARENB | CMSPAR;
      break;
    default:
      return EINVAL;
  }
  // One and a half stop bits (1) has no termios setting.
  if (dcb.StopBits != 0 && dcb.StopBits != 2) return EINVAL;

  termios next = tio;
  cfsetispeed(&next, speed->constant);
  cfsetospeed(&next, speed->constant);
  next.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  next.c_cflag |= size | parity;
  if (dcb.StopBits == 2) next.c_cflag |= CSTOPB;
  if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) next.c_cflag |= CRTSCTS;

  next.c_iflag &= ~(INPCK | IXON | IXOFF);
  if (dcb.fParity != 0) next.c_iflag |= INPCK;
  if (dcb.fOutX != 0) next.c_iflag |= IXON;
  if (dcb.fInX != 0) next.c_iflag |= IXOFF;
  next.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  next.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

  make_raw(next);
  tio = next;
  return 0;
}

bool framing_kept(const termios& wanted, const termios& got) {
  return cfgetospeed(&wanted) == cfgetospeed(&got) &&
         (wanted.c_cflag & kFramingBits) == (got.c_cflag & kFramingBits);
}

}  // namespace quarnprog::platform
