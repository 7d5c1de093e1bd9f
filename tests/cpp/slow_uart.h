// A stand-in for a UART whose clock cannot make the fastest rates: while
// armed, tcsetattr (wrapped at link time) applies every requested change but
// keeps the device's current speed for any rate above the limit, and still
// answers success, as a 16550 asked for 460800 on a 1.8432 MHz clock does.
#pragma once

#include <termios.h>

namespace testing_support {

class SlowUart {
 public:
  explicit SlowUart(speed_t fastest);
  ~SlowUart();
  SlowUart(const SlowUart&) = delete;
  SlowUart& operator=(const SlowUart&) = delete;
};

}  // namespace testing_support
