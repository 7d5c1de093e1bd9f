#include "line/line_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "slow_uart.h"
#include "test_support.h"

namespace serialslots {
namespace {

bool sameAttributes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

int startWith(int fd, const char* baud, const char* size, const char* stop,
              const char* parityText) {
  baudRate = baud;
  byteSize = size;
  stopBits = stop;
  parity = parityText;
  const int result = startPort(fd);
  baudRate = byteSize = stopBits = parity = nullptr;
  return result;
}

// A pty at /dev/ttyS1 opened as an open of COM1 opens it, still carrying a
// fresh tty's settings (ICRNL, IXON, OPOST|ONLCR, ECHO, ICANON, ...).
class StartPort : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_LAB();
    device_.emplace(seriallab::FarEnd::attach("/dev/ttyS1"));
    fd_ = open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  int start(const char* baud, const char* size, const char* stop, const char* parityText) {
    return startWith(fd_, baud, size, stop, parityText);
  }
  termios deviceSettings() const { return device_->attributes(); }

  std::optional<seriallab::FarEnd> device_;
  int fd_ = -1;
};

TEST_F(StartPort, EachAcceptedRateReachesTheDeviceInBothDirections) {
  const std::vector<std::pair<const char*, long>> rates = {
      {"110", 110},     {"300", 300},     {"600", 600},       {"1200", 1200},
      {"2400", 2400},   {"4800", 4800},   {"9600", 9600},     {"19200", 19200},
      {"38400", 38400}, {"57600", 57600}, {"115200", 115200}, {"460800", 460800},
  };
  for (const auto& [text, baud] : rates) {
    ASSERT_EQ(start(text, "8", "1", "N"), kLineApplied) << text;
    const termios settings = deviceSettings();
    EXPECT_EQ(seriallab::baudOf(cfgetispeed(&settings)), baud) << text;
    EXPECT_EQ(seriallab::baudOf(cfgetospeed(&settings)), baud) << text;
  }
}

TEST_F(StartPort, MakesTheLineRawWhateverTheDeviceHadBefore) {
  ASSERT_EQ(start("9600", "8", "1", "N"), kLineApplied);
  const termios settings = deviceSettings();
  EXPECT_EQ(settings.c_lflag, 0u);
  EXPECT_EQ(settings.c_cc[VMIN], 1);
  EXPECT_EQ(settings.c_cc[VTIME], 0);
  EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
  const tcflag_t translations =
      IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY;
  EXPECT_EQ(settings.c_iflag & translations, 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(fcntl(fd_, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  EXPECT_TRUE(sameAttributes(options, settings)) << "options holds what was applied";
}

TEST_F(StartPort, StopBitsReachTheDevice) {
  ASSERT_EQ(start("9600", "8", "2", "N"), kLineApplied);
  EXPECT_EQ(deviceSettings().c_cflag & CSTOPB, tcflag_t{CSTOPB});
  ASSERT_EQ(start("9600", "8", "1", "N"), kLineApplied);
  EXPECT_EQ(deviceSettings().c_cflag & CSTOPB, 0u);
}

// A pty forces CS8 and no parity, so size and parity are checked in the
// record handed to tcsetattr, which options holds after a success.
TEST_F(StartPort, SizeAndParityAreWhatIsHandedToTheDevice) {
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
  const tcflag_t watched = CSIZE | PARENB | PARODD | CMSPAR;
  for (const Case& c : cases) {
    // Start each case from the opposite parity, so every bit must be settled.
    ASSERT_EQ(start("9600", "8", "1", "0"), kLineApplied);
    options.c_cflag |= CMSPAR | PARODD | PARENB;
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &options), 0);
    ASSERT_EQ(start("9600", c.size, "1", c.parityText), kLineApplied) << c.parityText;
    EXPECT_EQ(options.c_cflag & watched, c.expected) << c.size << c.parityText;
  }
}

TEST_F(StartPort, EveryAcceptedTextAppliesAgainOnADeviceAlreadySetSo) {
  // A pty drops parity; a second identical request then changes nothing,
  // which must still count as applied.
  for (const char* parityText : {"N", "E", "0", "S", "E", "0"}) {
    for (const char* size : {"7", "8"}) {
      EXPECT_EQ(start("9600", size, "2", parityText), kLineApplied) << size << parityText;
      EXPECT_EQ(start("9600", size, "2", parityText), kLineApplied) << size << parityText;
    }
  }
}

TEST_F(StartPort, TheFirstRejectedTextDecidesTheCode) {
  struct Case {
    const char *baud, *size, *stop, *parityText;
    int code;
  };
  const Case cases[] = {
      {"230400", "8", "1", "N", kBadBaudRate},   {"9600 ", "8", "1", "N", kBadBaudRate},
      {"09600", "8", "1", "N", kBadBaudRate},    {"", "8", "1", "N", kBadBaudRate},
      {"1", "8", "1", "N", kBadBaudRate},        {"9600", "8", "1.5", "N", kBadStopBits},
      {"9600", "8", "3", "N", kBadStopBits},     {"9600", "6", "1", "N", kBadByteSize},
      {"9600", "5", "1", "N", kBadByteSize},     {"9600", "8", "1", "O", kBadParity},
      {"9600", "8", "1", "n", kBadParity},       {"9600", "8", "1", "M", kBadParity},
      {"bad", "8", "1", "bad", kBadBaudRate},    {"9600", "bad", "bad", "N", kBadStopBits},
      {"9600", "bad", "1", "bad", kBadByteSize}, {nullptr, "8", "1", "N", kBadBaudRate},
      {"9600", "8", "1", nullptr, kBadParity},
  };
  for (const Case& c : cases) {
    const termios before = deviceSettings();
    EXPECT_EQ(start(c.baud, c.size, c.stop, c.parityText), c.code)
        << (c.baud ? c.baud : "null") << ' ' << (c.size ? c.size : "null");
    EXPECT_TRUE(sameAttributes(deviceSettings(), before)) << "a rejection changed the device";
  }
}

TEST_F(StartPort, ARejectionLeavesTheEditsSoFarInOptions) {
  const termios device = deviceSettings();
  ASSERT_EQ(start("9999", "8", "1", "N"), kBadBaudRate);
  EXPECT_TRUE(sameAttributes(options, device));
  ASSERT_EQ(start("4800", "8", "x", "N"), kBadStopBits);
  EXPECT_EQ(cfgetospeed(&options), speed_t{B4800});
  EXPECT_EQ(options.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD});
  ASSERT_EQ(start("4800", "x", "2", "N"), kBadByteSize);
  EXPECT_EQ(options.c_cflag & (CSIZE | CSTOPB), tcflag_t{CSTOPB});
  ASSERT_EQ(start("4800", "7", "2", "x"), kBadParity);
  EXPECT_EQ(options.c_cflag & CSIZE, tcflag_t{CS7});
}

TEST_F(StartPort, ARateTheUartCannotMakeIsRefusedAndTheDeviceRestored) {
  ASSERT_EQ(start("9600", "8", "1", "N"), kLineApplied);
  const termios before = deviceSettings();
  testing_support::SlowUart uart(B115200);
  EXPECT_EQ(start("460800", "7", "2", "E"), kSpeedNotTaken);
  EXPECT_TRUE(sameAttributes(deviceSettings(), before)) << "the refused settings stayed";
  EXPECT_EQ(start("115200", "8", "1", "N"), kLineApplied);
  EXPECT_EQ(seriallab::baudOf(cfgetospeed(&options)), 115200);
}

TEST(StartPortOnANonTerminal, IsRefusedForARegularFileAndAFifo) {
  REQUIRE_LAB();
  close(open("/dev/ttyS7", O_CREAT | O_RDWR, 0600));
  const int file = open("/dev/ttyS7", O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(startWith(file, "9600", "8", "1", "N"), kAttributesUnreadable);
  close(file);
  unlink("/dev/ttyS7");

  ASSERT_EQ(mkfifo("/dev/ttyS7", 0600), 0);
  const int fifo = open("/dev/ttyS7", O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(startWith(fifo, "9600", "8", "1", "N"), kAttributesUnreadable);
  close(fifo);
  unlink("/dev/ttyS7");
}

}  // namespace
}  // namespace serialslots
