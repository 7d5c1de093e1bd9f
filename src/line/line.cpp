// termios2 lives in the kernel's own headers, which clash with <termios.h>:
// this file includes only those, and declares ioctl itself for the same reason.
#include "line/line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace serialslots::line {
namespace {

struct RateCode {
  int baud;
  tcflag_t code;
};

// Rates with a code of their own; any other goes as BOTHER with the number.
constexpr RateCode kRateCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

// Binary protocols need every byte through untouched: no CR/LF mapping, no
// stripping, no break or parity marks, no XON/XOFF unless asked for.
constexpr tcflag_t kInputTranslations =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;

// Where the kernel, or an emulator such as qemu-user, has no termios2, the
// plain termios calls carry the same fields, and a rate needs a code of its own.
bool lacksTermios2(int error) noexcept {
  return error == ENOTTY || error == EINVAL || error == ENOSYS;
}

LineSettings settingsOf(const termios2& line) noexcept {
  LineSettings settings{rateOf(line), 8, (line.c_cflag & CSTOPB) ? 2 : 1, Parity::kNone,
                        FlowControl::kNone};
  for (int bits = 5; bits <= 8; ++bits) {
    if ((line.c_cflag & CSIZE) == sizeBits(bits)) settings.dataBits = bits;
  }
  if (line.c_cflag & PARENB) {
    const bool odd = (line.c_cflag & PARODD) != 0;
    settings.parity = (line.c_cflag & CMSPAR) ? (odd ? Parity::kMark : Parity::kSpace)
                                              : (odd ? Parity::kOdd : Parity::kEven);
  }
  if (line.c_cflag & CRTSCTS) {
    settings.flow = FlowControl::kRtsCts;
  } else if ((line.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF)) {
    settings.flow = FlowControl::kXonXoff;
  }
  return settings;
}

Setting firstDifference(const LineSettings& wanted, const LineSettings& got) noexcept {
  if (std::abs(static_cast<long long>(got.baud) - wanted.baud) * 50 > wanted.baud) {
    return Setting::kBaud;
  }
  if (got.dataBits != wanted.dataBits) return Setting::kDataBits;
  if (got.stopBits != wanted.stopBits) return Setting::kStopBits;
  if (got.parity != wanted.parity) return Setting::kParity;
  if (got.flow != wanted.flow) return Setting::kFlowControl;
  return Setting::kNone;
}

}  // namespace

int getAttributes(int fd, termios2& attributes) noexcept {
  if (ioctl(fd, TCGETS2, &attributes) == 0) return 0;
  termios plain;
  if (!lacksTermios2(errno) || ioctl(fd, TCGETS, &plain) != 0) return errno;
  attributes =
      termios2{plain.c_iflag, plain.c_oflag, plain.c_cflag, plain.c_lflag, plain.c_line, {}, 0, 0};
  std::memcpy(attributes.c_cc, plain.c_cc, sizeof plain.c_cc);
  return 0;
}

int setAttributes(int fd, const termios2& attributes) noexcept {
  if (ioctl(fd, TCSETS2, &attributes) == 0) return 0;
  termios current;
  if (!lacksTermios2(errno) || ioctl(fd, TCGETS, &current) != 0) return errno;
  termios plain{attributes.c_iflag, attributes.c_oflag, attributes.c_cflag,
                attributes.c_lflag, attributes.c_line,  {}};
  std::memcpy(plain.c_cc, attributes.c_cc, sizeof plain.c_cc);
  // Without termios2 a rate with no code cannot be asked for: the line keeps
  // its rate, and the read-back refuses the request.
  if ((attributes.c_cflag & CBAUD) == BOTHER) {
    plain.c_cflag = (plain.c_cflag & ~tcflag_t{CBAUD}) | (current.c_cflag & CBAUD);
  }
  return ioctl(fd, TCSETS, &plain) == 0 ? 0 : errno;
}

void makeRaw(termios2& attributes, ParityCheck check) noexcept {
  attributes.c_iflag &= ~(kInputTranslations | (check == ParityCheck::kOff ? INPCK : 0));
  if (check == ParityCheck::kMarked) {
    attributes.c_iflag = (attributes.c_iflag & ~tcflag_t{IGNPAR}) | INPCK | PARMRK;
  }
  attributes.c_oflag &= ~tcflag_t{OPOST};
  attributes.c_lflag = 0;
  attributes.c_cflag |= CLOCAL | CREAD;
  attributes.c_cc[VMIN] = 1;
  attributes.c_cc[VTIME] = 0;
}

unsigned sizeBits(int dataBits) noexcept { return kSizes[(dataBits - 5) & 3]; }

void setRate(termios2& attributes, int baud) noexcept {
  tcflag_t code = BOTHER;
  for (const RateCode& rate : kRateCodes) {
    if (rate.baud == baud) code = rate.code;
  }
  // CIBAUD clear: the input runs at the output's rate.
  attributes.c_cflag &= ~tcflag_t{CBAUD | (CBAUD << IBSHIFT)};
  attributes.c_cflag |= code;
  attributes.c_ispeed = attributes.c_ospeed = static_cast<speed_t>(baud);
}

int rateOf(const termios2& attributes) noexcept {
  const tcflag_t code = attributes.c_cflag & CBAUD;
  // Drivers report the rate they really made in c_ospeed, as BOTHER or as
  // the code of a table rate (a 16550 asked for 460800 falls back so).
  if (code == BOTHER) return static_cast<int>(attributes.c_ospeed);
  for (const RateCode& rate : kRateCodes) {
    if (rate.code == code) return rate.baud;
  }
  return 0;
}

// A 16550-style UART divides its clock by a whole number, yet the 8250 driver
// reports the rate asked for rather than the one the divisor makes (a 16550
// asked for 100000 runs at 115200 and reads back 100000): work that one out.
// Other drivers, whose dividers have fractions, report what they made.
int madeRate(int fd, int reported) noexcept {
  serial_struct port{};
  if (reported <= 0 || ioctl(fd, TIOCGSERIAL, &port) != 0 || port.type < PORT_8250 ||
      port.type > PORT_16550A || port.baud_base <= 0 ||
      (static_cast<unsigned>(port.flags) & ASYNC_SPD_MASK) != 0) {
    return reported;
  }
  const int divisor = std::max(1, (port.baud_base + reported / 2) / reported);
  return port.baud_base / divisor;
}

int checkTerminal(int fd) noexcept {
  termios2 line;
  return getAttributes(fd, line);
}

int readLine(int fd, LineSettings& settings) noexcept {
  termios2 line;
  const int error = getAttributes(fd, line);
  if (error == 0) settings = settingsOf(line);
  return error;
}

int dropModemLinesOnClose(int fd, bool drop) noexcept {
  termios2 line;
  if (const int error = getAttributes(fd, line); error != 0) return error;
  // Set only when it changes: a USB adapter's driver sends every setting again.
  if (((line.c_cflag & HUPCL) != 0) == drop) return 0;
  line.c_cflag ^= HUPCL;
  return setAttributes(fd, line);
}

LineOutcome applyLine(int fd, const LineSettings& wanted, ParityCheck check) noexcept {
  LineOutcome outcome{0, Setting::kNone, wanted};
  termios2 before;
  if (const int error = getAttributes(fd, before); error != 0) {
    return {error, Setting::kNone, wanted};
  }

  termios2 line = before;
  makeRaw(line, check);
  if (wanted.flow == FlowControl::kXonXoff) line.c_iflag |= IXON | IXOFF;
  line.c_cflag &= ~tcflag_t{CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS};
  line.c_cflag |= sizeBits(wanted.dataBits);
  if (wanted.stopBits == 2) line.c_cflag |= CSTOPB;
  switch (wanted.parity) {
    case Parity::kNone:
      break;
    case Parity::kOdd:
      line.c_cflag |= PARENB | PARODD;
      break;
    case Parity::kEven:
      line.c_cflag |= PARENB;
      break;
    case Parity::kMark:
      line.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::kSpace:
      line.c_cflag |= PARENB | CMSPAR;
      break;
  }
  if (wanted.flow == FlowControl::kRtsCts) line.c_cflag |= CRTSCTS;
  setRate(line, wanted.baud);

  // One TCSETS2 for everything: the C library's tcsetattr refuses BOTHER on
  // some versions. Success only means something was applied, so read back.
  termios2 kept;
  if ((outcome.error = setAttributes(fd, line)) == 0 &&
      (outcome.error = getAttributes(fd, kept)) == 0) {
    outcome.applied = settingsOf(kept);
    outcome.applied.baud = madeRate(fd, outcome.applied.baud);
    outcome.refused = firstDifference(wanted, outcome.applied);
  }
  if (outcome.error != 0 || outcome.refused != Setting::kNone) setAttributes(fd, before);
  return outcome;
}

}  // namespace serialslots::line
