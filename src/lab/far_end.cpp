#include "lab/far_end.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace seriallab {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

FarEnd FarEnd::attach(const std::string& devicePath) {
  if (!insideLab()) {
    errno = EPERM;
    fail("refusing to put a pty at " + devicePath + " outside the serial lab");
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) fail("posix_openpt");
  FarEnd end(master, devicePath);
  if (grantpt(master) != 0 || unlockpt(master) != 0) fail("unlockpt");
  char slave[64];
  if (ptsname_r(master, slave, sizeof slave) != 0) fail("ptsname");
  if (unlink(devicePath.c_str()) != 0 && errno != ENOENT) fail("unlink " + devicePath);
  if (symlink(slave, devicePath.c_str()) != 0) fail("symlink " + devicePath);
  return end;
}

FarEnd::FarEnd(int master, std::string devicePath)
    : master_(master), devicePath_(std::move(devicePath)) {}

FarEnd::FarEnd(FarEnd&& other) noexcept
    : master_(std::exchange(other.master_, -1)), devicePath_(std::move(other.devicePath_)) {}

FarEnd& FarEnd::operator=(FarEnd&& other) noexcept {
  if (this != &other) {
    hangUp();
    master_ = std::exchange(other.master_, -1);
    devicePath_ = std::move(other.devicePath_);
  }
  return *this;
}

FarEnd::~FarEnd() { hangUp(); }

void FarEnd::hangUp() {
  if (master_ >= 0) close(std::exchange(master_, -1));
}

void injectInto(int master, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd ready{master, POLLOUT, 0};
      poll(&ready, 1, 100);
    } else if (n < 0 && errno != EINTR) {
      fail("inject");
    }
  }
}

std::string takeFrom(int master, size_t max, int waitMillis) {
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < max) {
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, waitMillis) <= 0) break;
    const size_t room = std::min(sizeof buffer, max - bytes.size());
    const ssize_t n = read(master, buffer, room);
    if (n > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      // EIO: no slave holds the device open any more.
      break;
    }
  }
  return bytes;
}

std::string takeWaitingFrom(int master, size_t max, int waitMillis) {
  pollfd ready{master, POLLIN, 0};
  if (poll(&ready, 1, waitMillis) <= 0) return {};
  if ((ready.revents & POLLIN) == 0) {
    // POLLHUP alone: no slave holds the device open, and poll() cannot wait
    // for the next open. A short nap keeps this from spinning.
    usleep(200);
    return {};
  }
  std::string bytes(max, '\0');
  const ssize_t n = read(master, bytes.data(), max);
  bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return bytes;
}

termios attributesOf(int master) {
  // On the master of a pty, TCGETS reports the slave's settings.
  termios settings{};
  if (tcgetattr(master, &settings) != 0) fail("tcgetattr");
  return settings;
}

long baudOf(speed_t speed) {
  static const std::pair<speed_t, long> kRates[] = {
      {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},
      {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},
      {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
      {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
      {B500000, 500000}, {B921600, 921600},
  };
  for (const auto& [constant, baud] : kRates) {
    if (constant == speed) return baud;
  }
  return -1;
}

}  // namespace seriallab
