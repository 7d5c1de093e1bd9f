// startPort's own contract that a pty hides from Java: size and parity settled
// from any earlier state, and each rejection's code. Real UARTs: tests/hardware.
#include "line/line_settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "far_end.h"
#include "ops/port_ops.h"

namespace serialslots {
namespace {

// Both read by the far end, into zeroed records.
bool sameAttributes(const termios& a, const termios& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// A pty at /dev/ttyS1 opened as an open of COM1 opens it.
class StartPort : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!seriallab::insideLab()) GTEST_SKIP() << "needs the serial lab";
    device_.emplace(seriallab::FarEnd::attach("/dev/ttyS1"));
    fd_ = open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  int start(const char* baud, const char* size, const char* stop, const char* parityText) {
    baudRate = baud;
    byteSize = size;
    stopBits = stop;
    parity = parityText;
    const int result = startPort(fd_);
    baudRate = byteSize = stopBits = parity = nullptr;
    return result;
  }

  std::optional<seriallab::FarEnd> device_;
  int fd_ = -1;
};

TEST_F(StartPort, SettlesSizeAndParityWhateverTheDeviceHadAndAppliesTheSameTwice) {
  struct Case {
    const char* size;
    const char* parityText;
    tcflag_t expected;  // of CSIZE | PARENB | PARODD | CMSPAR
  };
  const Case cases[] = {
      {"8", "N", CS8 | PARODD},  // "N" leaves PARODD as it was
      {"7", "N", CS7 | PARODD},          {"7", "E", CS7 | PARENB},
      {"8", "0", CS8 | PARENB | PARODD}, {"8", "S", CS8 | PARENB | CMSPAR},
  };
  for (const Case& c : cases) {
    // From the opposite of each setting, so that every bit must be settled.
    ASSERT_EQ(start("9600", "8", "1", "0"), kLineApplied);
    options.c_cflag |= CMSPAR | PARODD | PARENB;
    // EINVAL: the pty dropped parity and so changed nothing (the C library's quirk).
    ASSERT_TRUE(tcsetattr(fd_, TCSANOW, &options) == 0 || errno == EINVAL);
    ASSERT_EQ(start("9600", c.size, "1", c.parityText), kLineApplied) << c.parityText;
    EXPECT_EQ(options.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR), c.expected) << c.parityText;
    // A pty drops parity, so the same request again changes nothing, and the
    // C library answers EINVAL for that: it must still count as applied.
    EXPECT_EQ(start("9600", c.size, "1", c.parityText), kLineApplied) << c.size << c.parityText;
  }
}

TEST_F(StartPort, ClearsEveryInputTranslationTheDeviceHadSet) {
  const tcflag_t translations =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;
  termios line = device_->attributes();
  line.c_iflag |= translations;
  ASSERT_EQ(tcsetattr(fd_, TCSANOW, &line), 0);
  ASSERT_EQ(start("9600", "8", "1", "N"), kLineApplied);
  EXPECT_EQ(device_->attributes().c_iflag & translations, 0u);
}

TEST_F(StartPort, TheFirstRejectedTextDecidesTheCodeAndTheDeviceStaysAsItWas) {
  struct Case {
    const char *baud, *size, *stop, *parityText;
    int code;
  };
  const Case cases[] = {
      // The codes callers of the exported startPort see: 4 baud, 6 stop bits, 5 size, 7 parity.
      {"230400", "8", "1", "N", 4}, {"", "8", "1", "N", 4},   {"bad", "8", "1", "bad", 4},
      {nullptr, "8", "1", "N", 4},  {"9600", "bad", "bad", "N", 6}, {"9600", "8", "1.5", "N", 6},
      {"9600", "6", "1", "bad", 5}, {"9600", "8", "1", "O", 7}, {"9600", "8", "1", nullptr, 7},
  };
  for (const Case& c : cases) {
    const termios before = device_->attributes();
    EXPECT_EQ(start(c.baud, c.size, c.stop, c.parityText), c.code) << c.code;
    EXPECT_TRUE(sameAttributes(device_->attributes(), before)) << "a rejection changed the device";
  }
}

}  // namespace
}  // namespace serialslots
