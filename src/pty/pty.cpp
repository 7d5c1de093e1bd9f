#include "pty/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace serialslots::pty {
namespace {

// Closes what it holds unless released: every failed step leaves nothing open.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const noexcept { return fd_; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace

int openPair(Pair& pair) noexcept {
  Descriptor master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (master.get() < 0) return errno;
  if (grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) return errno;
  if (ptsname_r(master.get(), pair.path, sizeof pair.path) != 0) return errno;
  Descriptor held(open(pair.path, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (held.get() < 0) return errno;
  termios raw{};
  if (tcgetattr(held.get(), &raw) != 0) return errno;
  cfmakeraw(&raw);
  if (tcsetattr(held.get(), TCSANOW, &raw) != 0) return errno;
  pair.master = master.release();
  pair.held = held.release();
  return 0;
}

long readWaiting(int fd, unsigned char* buffer, std::size_t length, int timeoutMillis) noexcept {
  pollfd ready{fd, POLLIN, 0};
  const int found = poll(&ready, 1, timeoutMillis);
  if (found < 0) return errno == EINTR ? 0 : -errno;
  if (found == 0) return 0;
  const ssize_t got = read(fd, buffer, length);
  if (got < 0) return errno == EAGAIN || errno == EINTR ? 0 : -errno;
  return got;
}

long writeWaiting(int fd, const unsigned char* bytes, std::size_t length,
                  int timeoutMillis) noexcept {
  pollfd ready{fd, POLLOUT, 0};
  const int found = poll(&ready, 1, timeoutMillis);
  if (found < 0) return errno == EINTR ? 0 : -errno;
  if (found == 0) return 0;
  const ssize_t wrote = write(fd, bytes, length);
  if (wrote < 0) return errno == EAGAIN || errno == EINTR ? 0 : -errno;
  return wrote;
}

}  // namespace serialslots::pty
