// A stand-in UART for Java tests, preloaded into a JVM (LD_PRELOAD): on one
// pty it answers what a pty lacks and a UART has, the modem lines (TIOCMGET),
// the driver's counts (TIOCGICOUNT) and the wait for a modem-line change
// (TIOCMIWAIT), from what the test writes into STANDIN_DIR:
//   lines     the TIOCM bits, a decimal number
//   counters  serial_icounter_struct's first eleven counts, in its order:
//             cts dsr rng dcd rx tx frame overrun parity brk buf_overrun
//   changes   a FIFO: each byte written ends one TIOCMIWAIT
// and it keeps an RS-485 mode as set (TIOCSRS485, TIOCGRS485), in memory.
// A pty keeps neither parity nor a size of its own, and doubles a received
// 0xFF under PARMRK: the stand-in keeps what TCSETS2 asked of those and tells
// it back, so that the test writes a marked stream as a UART's line
// discipline makes it, and appends each byte written as the 9-bit word the
// UART sends (the ninth bit: mark parity) to STANDIN_DIR/wire, in hex, with
// "d" for each tcdrain() and "m" or "s" where mark or space parity begins.
// STANDIN_DEVICE names the pty; every other call goes to the real ioctl.
// No emulated UART raises modem-status interrupts or line errors, so these
// events are proven here, at the ioctl boundary.
#include <asm/termbits.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using RealIoctl = int (*)(int, unsigned long, ...);

bool standsIn(int fd) {
  const char* device = std::getenv("STANDIN_DEVICE");
  struct stat wanted, given;
  return device != nullptr && stat(device, &wanted) == 0 && fstat(fd, &given) == 0 &&
         S_ISCHR(given.st_mode) && given.st_rdev == wanted.st_rdev;
}

std::string file(const char* name) {
  const char* dir = std::getenv("STANDIN_DIR");
  return std::string(dir == nullptr ? "." : dir) + "/" + name;
}

bool readNumbers(const char* name, long long* numbers, int count) {
  FILE* in = std::fopen(file(name).c_str(), "r");
  if (in == nullptr) return false;
  int got = 0;
  while (got < count && std::fscanf(in, "%lld", &numbers[got]) == 1) ++got;
  std::fclose(in);
  return got == count;
}

// What TCSETS2 asked for and the pty does not keep.
constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CMSPAR;
bool asked = false;
tcflag_t askedFraming = 0;
tcflag_t askedMarks = 0;

void onWire(const char* what) {
  if (FILE* wire = std::fopen(file("wire").c_str(), "a")) {
    std::fputs(what, wire);
    std::fclose(wire);
  }
}

// The ninth bit a framing sends: 1 for mark parity, 0 for space, -1 for none.
int ninthBit(tcflag_t framing) {
  if ((framing & (PARENB | CMSPAR)) != (PARENB | CMSPAR)) return -1;
  return (framing & PARODD) != 0 ? 1 : 0;
}

int keepTermios(RealIoctl real, int fd, unsigned long request, termios2* line) {
  if (request == TCSETS2) {
    const int before = asked ? ninthBit(askedFraming) : -1;
    const int after = ninthBit(line->c_cflag & kFraming);
    if (after >= 0 && after != before) onWire(after == 1 ? "m " : "s ");
    asked = true;
    askedFraming = line->c_cflag & kFraming;
    askedMarks = line->c_iflag & PARMRK;
    termios2 passed = *line;
    passed.c_iflag &= ~tcflag_t{PARMRK};
    return real(fd, request, &passed);
  }
  const int result = real(fd, request, line);
  if (result == 0 && asked) {
    line->c_cflag = (line->c_cflag & ~kFraming) | askedFraming;
    line->c_iflag |= askedMarks;
  }
  return result;
}

int answer(unsigned long request, void* argument) {
  long long numbers[11] = {};
  switch (request) {
    case TIOCMGET:
      if (!readNumbers("lines", numbers, 1)) break;
      *static_cast<int*>(argument) = static_cast<int>(numbers[0]);
      return 0;
    case TIOCGICOUNT: {
      if (!readNumbers("counters", numbers, 11)) break;
      auto* counts = static_cast<serial_icounter_struct*>(argument);
      *counts = {};
      int* fields[] = {&counts->cts,    &counts->dsr, &counts->rng,        &counts->dcd,
                       &counts->rx,     &counts->tx,  &counts->frame,      &counts->overrun,
                       &counts->parity, &counts->brk, &counts->buf_overrun};
      for (int i = 0; i < 11; ++i) *fields[i] = static_cast<int>(numbers[i]);
      return 0;
    }
    case TIOCSRS485:
    case TIOCGRS485: {
      static serial_rs485 kept{};
      auto* mode = static_cast<serial_rs485*>(argument);
      if (request == TIOCSRS485) kept = *mode;
      *mode = kept;
      return 0;
    }
    case TIOCMIWAIT: {
      // Opened once, read and write, so that the test's writes always find a reader.
      static const int changes = open(file("changes").c_str(), O_RDWR | O_CLOEXEC);
      char change;
      return changes >= 0 && read(changes, &change, 1) == 1 ? 0 : -1;  // a signal: EINTR
    }
  }
  errno = EIO;
  return -1;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if ((request == TIOCMGET || request == TIOCGICOUNT || request == TIOCMIWAIT || request == TIOCSRS485 ||
       request == TIOCGRS485) &&
      standsIn(fd)) {
    return answer(request, argument);
  }
  static const auto real = reinterpret_cast<RealIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  if ((request == TCSETS2 || request == TCGETS2) && standsIn(fd)) {
    return keepTermios(real, fd, request, static_cast<termios2*>(argument));
  }
  if (request == TCSBRK && argument == reinterpret_cast<void*>(1) && standsIn(fd)) onWire("d ");
  return real(fd, request, argument);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
  using RealWrite = ssize_t (*)(int, const void*, size_t);
  static const auto real = reinterpret_cast<RealWrite>(dlsym(RTLD_NEXT, "write"));
  const ssize_t written = real(fd, data, size);
  if (written > 0 && standsIn(fd)) {
    const unsigned high = ninthBit(askedFraming) == 1 ? 0x100 : 0;
    for (ssize_t i = 0; i < written; ++i) {
      char word[8];
      std::snprintf(word, sizeof word, "%x ", high | static_cast<const unsigned char*>(data)[i]);
      onWire(word);
    }
  }
  return written;
}
