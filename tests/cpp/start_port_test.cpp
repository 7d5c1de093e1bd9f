// startPort's own contract that a pty hides from Java: size and parity settled
// from any earlier state, and each rejection's code. Real UARTs: tests/hardware.
#include "line/start_port.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

namespace serialslots {
namespace {

// A pty's slave, opened as an open of a slot opens it; the master reads back.
class StartPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_) | unlockpt(master_), 0);
    fd_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    close(fd_);
    close(master_);
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
  termios2 device() const {
    termios2 attributes{};
    EXPECT_EQ(line::getAttributes(master_, attributes), 0);
    return attributes;
  }

  int master_ = -1;
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
    ASSERT_EQ(line::setAttributes(fd_, options), 0);
    ASSERT_EQ(start("9600", c.size, "1", c.parityText), kLineApplied) << c.parityText;
    EXPECT_EQ(options.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR), c.expected) << c.parityText;
    // A pty drops parity, so the same request again changes nothing: it must
    // still count as applied.
    EXPECT_EQ(start("9600", c.size, "1", c.parityText), kLineApplied) << c.size << c.parityText;
  }
}

TEST_F(StartPort, ClearsEveryInputTranslationButLeavesParityCheckingAsItWas) {
  const tcflag_t translations =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;
  termios2 line = device();
  line.c_iflag |= translations | INPCK;
  ASSERT_EQ(line::setAttributes(fd_, line), 0);
  ASSERT_EQ(start("9600", "8", "1", "N"), kLineApplied);
  EXPECT_EQ(device().c_iflag & (translations | INPCK), tcflag_t{INPCK});
}

TEST_F(StartPort, TheFirstRejectedTextDecidesTheCodeAndTheDeviceStaysAsItWas) {
  struct Case {
    const char *baud, *size, *stop, *parityText;
    int code;
  };
  const Case cases[] = {
      // The codes callers of the exported startPort see: 4 baud, 6 stop bits, 5 size, 7 parity.
      {"230400", "8", "1", "N", 4}, {"", "8", "1", "N", 4},         {"bad", "8", "1", "bad", 4},
      {nullptr, "8", "1", "N", 4},  {"9600", "bad", "bad", "N", 6}, {"9600", "8", "1.5", "N", 6},
      {"9600", "6", "1", "bad", 5}, {"9600", "8", "1", "O", 7},     {"9600", "8", "1", nullptr, 7},
  };
  for (const Case& c : cases) {
    const termios2 before = device();
    EXPECT_EQ(start(c.baud, c.size, c.stop, c.parityText), c.code) << c.code;
    const termios2 after = device();
    EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0) << "a rejection changed the device";
  }
}

}  // namespace
}  // namespace serialslots
