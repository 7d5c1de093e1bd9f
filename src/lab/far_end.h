// The far end of a lab port: a pseudo-terminal whose slave sits at a device
// path such as /dev/ttyS1 inside the lab's private /dev, and whose master the
// test holds to inject bytes, collect what the library sent and read back the
// terminal settings the library applied.
#pragma once

#include <termios.h>

#include <string>

#include "lab/lab.h"

namespace seriallab {

void injectInto(int master, const std::string& bytes);
std::string takeFrom(int master, size_t max, int waitMillis);
// Whatever is waiting, up to `max`, after waiting up to `waitMillis` for the
// first byte; never waits for more.
std::string takeWaitingFrom(int master, size_t max, int waitMillis);
termios attributesOf(int master);

class FarEnd {
 public:
  // Makes a new pseudo-terminal and puts its slave at `devicePath` (replacing
  // what was there). Throws std::runtime_error when that cannot be done or
  // when not inside the lab.
  static FarEnd attach(const std::string& devicePath);

  FarEnd(FarEnd&& other) noexcept;
  FarEnd& operator=(FarEnd&& other) noexcept;
  FarEnd(const FarEnd&) = delete;
  FarEnd& operator=(const FarEnd&) = delete;
  ~FarEnd();

  int fd() const { return master_; }
  const std::string& devicePath() const { return devicePath_; }

  // Bytes the device receives, as if they came down the line.
  void inject(const std::string& bytes) const { injectInto(master_, bytes); }
  // What the library sent: waits up to `waitMillis` for the first byte, then
  // collects until `max` bytes or a quiet gap of `waitMillis`.
  std::string take(size_t max, int waitMillis = 200) const {
    return takeFrom(master_, max, waitMillis);
  }
  // The device's terminal settings, as the library left them.
  termios attributes() const { return attributesOf(master_); }
  // The device disappears: the master closes, the slave hangs up.
  void hangUp();

 private:
  FarEnd(int master, std::string devicePath);
  int master_;
  std::string devicePath_;
};

// The baud number (9600, 115200, ...) of a speed constant, or -1.
long baudOf(speed_t speed);

}  // namespace seriallab
