// Only the kernel's termios2 here (line.h's note): no <termios.h>.
#include "line/start_port.h"

#include <asm/termbits.h>
#include <fcntl.h>

#include <cstring>

namespace serialslots {

termios2 options;
const char* port;
const char* baudRate;
const char* byteSize;
const char* stopBits;
const char* parity;

namespace {

struct BaudText {
  const char* text;
  int baud;
};

// The accepted rates and no others; 230400 is deliberately absent.
constexpr BaudText kBaudTexts[] = {
    {"110", 110},     {"300", 300},     {"600", 600},       {"1200", 1200},
    {"2400", 2400},   {"4800", 4800},   {"9600", 9600},     {"19200", 19200},
    {"38400", 38400}, {"57600", 57600}, {"115200", 115200}, {"460800", 460800},
};

bool textIs(const char* text, const char* accepted) noexcept {
  return text != nullptr && std::strcmp(text, accepted) == 0;
}

}  // namespace
}  // namespace serialslots

int startPort(int fd) {
  using namespace serialslots;

  fcntl(fd, F_SETFL, O_NONBLOCK);
  if (line::getAttributes(fd, options) != 0) return kAttributesUnreadable;
  const termios2 before = options;

  const BaudText* baud = nullptr;
  for (const BaudText& candidate : kBaudTexts) {
    if (textIs(baudRate, candidate.text)) {
      baud = &candidate;
      break;
    }
  }
  if (baud == nullptr) return kBadBaudRate;
  line::setRate(options, baud->baud);

  options.c_cflag |= CLOCAL | CREAD;

  if (textIs(stopBits, "1")) {
    options.c_cflag &= ~tcflag_t{CSTOPB};
  } else if (textIs(stopBits, "2")) {
    options.c_cflag |= CSTOPB;
  } else {
    return kBadStopBits;
  }

  options.c_cflag &= ~tcflag_t{CSIZE};
  if (textIs(byteSize, "8")) {
    options.c_cflag |= line::sizeBits(8);
  } else if (textIs(byteSize, "7")) {
    options.c_cflag |= line::sizeBits(7);
  } else {
    return kBadByteSize;
  }

  // CMSPAR turns the PARODD bit into a fixed mark/space bit, so every text
  // settles it too; otherwise a device left in mark/space parity would keep
  // it. "N" leaves PARODD as it was, which without PARENB means nothing.
  if (textIs(parity, "N")) {
    options.c_cflag &= ~tcflag_t{PARENB | CMSPAR};
  } else if (textIs(parity, "E")) {
    options.c_cflag |= PARENB;
    options.c_cflag &= ~tcflag_t{PARODD | CMSPAR};
  } else if (textIs(parity, "0")) {
    options.c_cflag |= PARENB | PARODD;
    options.c_cflag &= ~tcflag_t{CMSPAR};
  } else if (textIs(parity, "S")) {
    options.c_cflag |= PARENB | CMSPAR;
    options.c_cflag &= ~tcflag_t{PARODD};
  } else {
    return kBadParity;
  }

  line::makeRaw(options, line::ParityCheck::kAsTheDeviceHadIt);
  if (line::setAttributes(fd, options) != 0) return kAttributesRefused;

  // Success only means something was applied; a UART that cannot make the
  // rate keeps its old one, so read the rate back. Other settings a device
  // drops (a pty drops parity) leave the open as it is.
  termios2 applied;
  const auto takes = [&] {
    // An input rate of its own (CIBAUD) must be the same one.
    const tcflag_t input = (applied.c_cflag >> IBSHIFT) & CBAUD;
    return line::rateOf(applied) == baud->baud &&
           (input == 0 || input == (applied.c_cflag & CBAUD));
  };
  if (line::getAttributes(fd, applied) != 0 || !takes()) {
    line::setAttributes(fd, before);
    return kSpeedNotTaken;
  }
  return kLineApplied;
}
