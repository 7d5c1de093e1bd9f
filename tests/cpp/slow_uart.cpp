#include "slow_uart.h"

extern "C" int __real_tcsetattr(int fd, int actions, const termios* settings);
extern "C" int __wrap_tcsetattr(int fd, int actions, const termios* settings);

namespace {

// 0 while no SlowUart is alive.
speed_t fastestRate = 0;

}  // namespace

namespace testing_support {

SlowUart::SlowUart(speed_t fastest) { fastestRate = fastest; }
SlowUart::~SlowUart() { fastestRate = 0; }

}  // namespace testing_support

extern "C" int __wrap_tcsetattr(int fd, int actions, const termios* settings) {
  if (fastestRate == 0 || cfgetospeed(settings) <= fastestRate) {
    return __real_tcsetattr(fd, actions, settings);
  }
  termios kept = *settings;
  termios current;
  if (tcgetattr(fd, &current) == 0) {
    cfsetispeed(&kept, cfgetispeed(&current));
    cfsetospeed(&kept, cfgetospeed(&current));
  }
  return __real_tcsetattr(fd, actions, &kept);
}
