// A stand-in UART for Java tests, preloaded into a JVM (LD_PRELOAD): on one
// pty it answers what a pty lacks and a UART has, the modem lines (TIOCMGET),
// the driver's counts (TIOCGICOUNT) and the wait for a modem-line change
// (TIOCMIWAIT), from what the test writes into STANDIN_DIR:
//   lines     the TIOCM bits, a decimal number
//   counters  serial_icounter_struct's first eleven counts, in its order:
//             cts dsr rng dcd rx tx frame overrun parity brk buf_overrun
//   changes   a FIFO: each byte written ends one TIOCMIWAIT
// and it keeps an RS-485 mode as set (TIOCSRS485, TIOCGRS485), in memory.
// STANDIN_DEVICE names the pty; every other call goes to the real ioctl.
// No emulated UART raises modem-status interrupts or line errors, so these
// events are proven here, at the ioctl boundary.
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
  return real(fd, request, argument);
}
