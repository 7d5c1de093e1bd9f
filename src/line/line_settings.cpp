#include "line/line_settings.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace serialslots {

termios options;
const char* port;
const char* baudRate;
const char* byteSize;
const char* stopBits;
const char* parity;

namespace {

struct BaudText {
  const char* text;
  speed_t speed;
};

// The accepted rates and no others; 230400 is deliberately absent.
constexpr BaudText kBaudTexts[] = {
    {"110", B110},     {"300", B300},     {"600", B600},       {"1200", B1200},
    {"2400", B2400},   {"4800", B4800},   {"9600", B9600},     {"19200", B19200},
    {"38400", B38400}, {"57600", B57600}, {"115200", B115200}, {"460800", B460800},
};

bool textIs(const char* text, const char* accepted) noexcept {
  return text != nullptr && std::strcmp(text, accepted) == 0;
}

// Binary protocols need every byte through untouched: no CR/LF mapping, no
// XON/XOFF swallowing 0x11 and 0x13, no stripping, no break or parity marks.
constexpr tcflag_t kInputProcessing =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;

}  // namespace
}  // namespace serialslots

int startPort(int fd) {
  using namespace serialslots;

  fcntl(fd, F_SETFL, O_NONBLOCK);
  if (tcgetattr(fd, &options) != 0) return kAttributesUnreadable;
  const termios before = options;

  const BaudText* baud = nullptr;
  for (const BaudText& candidate : kBaudTexts) {
    if (textIs(baudRate, candidate.text)) {
      baud = &candidate;
      break;
    }
  }
  if (baud == nullptr) return kBadBaudRate;
  cfsetispeed(&options, baud->speed);
  cfsetospeed(&options, baud->speed);

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
    options.c_cflag |= CS8;
  } else if (textIs(byteSize, "7")) {
    options.c_cflag |= CS7;
  } else {
    return kBadByteSize;
  }

  // CMSPAR turns the PARODD bit into a fixed mark/space bit, so every text
  // settles it too; otherwise a device left in mark/space parity would keep it.
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

  options.c_lflag = 0;
  options.c_iflag &= ~kInputProcessing;
  options.c_oflag &= ~tcflag_t{OPOST};
  options.c_cc[VTIME] = 0;
  options.c_cc[VMIN] = 1;

  // The C library answers EINVAL when none of the requested changes took
  // effect, although the call itself went through: a pty asked for parity it
  // cannot do, on a line already set as asked otherwise. The read-back below
  // tells whether that matters; any other failure means the device refused.
  if (tcsetattr(fd, TCSANOW, &options) != 0 && errno != EINVAL) return kAttributesRefused;

  // tcsetattr also succeeds when only some changes were made, so read the
  // speeds back: a UART that cannot make the rate keeps its old one.
  termios applied;
  if (tcgetattr(fd, &applied) != 0 || cfgetispeed(&applied) != baud->speed ||
      cfgetospeed(&applied) != baud->speed) {
    tcsetattr(fd, TCSANOW, &before);
    return kSpeedNotTaken;
  }
  return kLineApplied;
}
