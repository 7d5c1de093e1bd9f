#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "core_SerialPort.h"
#include "fake_jni.h"
#include "line/line_settings.h"
#include "slow_uart.h"
#include "test_support.h"

namespace {

using serialslots::findPort;
using testing_jni::FakeJni;
using testing_support::isOpen;
using testing_support::openDescriptorCount;

// Opens through the native, as Java would, and returns the fake environment
// that recorded what happened.
struct Open {
  explicit Open(const std::string& name, const char* baud = "9600", const char* size = "8",
                const char* stop = "1", const char* parityText = "N") {
    auto text = [&](const char* t) { return t == nullptr ? nullptr : jni.string(t); };
    result = Java_core_SerialPort_openPortC(jni.env(), nullptr, jni.string(name), text(baud),
                                            text(size), text(stop), text(parityText));
    EXPECT_EQ(jni.outstandingConversions, 0) << "a converted text was not released";
    EXPECT_EQ(jni.callsWhilePending, 0);
  }
  std::string message() const { return jni.raised ? jni.raised->message : ""; }
  FakeJni jni;
  jint result = 0;
};

class OpenPort : public testing_support::SlotsReset {
 protected:
  void SetUp() override { REQUIRE_LAB(); }
};

TEST_F(OpenPort, StoresAConfiguredNonBlockingDescriptor) {
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS1");
  Open open("COM1", "115200");
  EXPECT_EQ(open.result, 1);
  EXPECT_FALSE(open.jni.raised) << open.message();
  const int fd = findPort("COM1")->descriptor;
  ASSERT_TRUE(isOpen(fd));
  EXPECT_TRUE(isatty(fd));
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  EXPECT_EQ(seriallab::baudOf(cfgetospeed(&serialslots::options)), 115200);
  const termios settings = device.attributes();
  EXPECT_EQ(seriallab::baudOf(cfgetispeed(&settings)), 115200);
  EXPECT_EQ(settings.c_lflag, 0u);
  EXPECT_EQ(serialslots::baudRate, nullptr) << "a text pointer outlived its open";
}

TEST_F(OpenPort, AnUnknownNameTouchesNoSlot) {
  for (const char* name : {"COM41", "COMUSB41", "com1", "COM1 ", ""}) {
    Open open(name);
    EXPECT_EQ(open.result, 1);
    EXPECT_EQ(open.message(), "Serial port does not exits.");
    EXPECT_EQ(open.jni.conversions, 5) << "all five texts are converted first";
  }
  for (const serialslots::PortSlot& slot : serialslots::portTable) {
    EXPECT_EQ(slot.descriptor.load(), -1);
  }
}

TEST_F(OpenPort, AMissingNodeGivesTheSlotsOwnMessageAndLeavesMinusOne) {
  for (const serialslots::PortSlot& slot : serialslots::portTable) {
    Open open(slot.name, "bad", "bad", "bad", "bad");  // parameters are never looked at
    EXPECT_EQ(open.message(), std::string("Error setting serial port ") + slot.name + " = " +
                                  slot.devicePath + ".");
    EXPECT_EQ(slot.descriptor.load(), -1);
  }
}

TEST_F(OpenPort, RejectedParametersCloseTheDeviceWithTheSlotsMessage) {
  struct Case {
    const char* name;
    const char* path;
    const char* message;
  };
  const Case cases[] = {
      {"COM0", "/dev/ttyS0", "Error set parameters COM0 = /dev/ttyS0."},
      {"COMUSB0", "/dev/ttyUSB0", "Error set parameters COMUSB0 = /dev/ttyUSB0."},
      {"COM1", "/dev/ttyS1", "Error set parameters."},
      {"COMUSB1", "/dev/ttyUSB1", "Error set parameters."},
      {"COM40", "/dev/ttyS40", "Error set parameters."},
      {"COMUSB40", "/dev/ttyUSB40", "Error set parameters."},
  };
  for (const Case& c : cases) {
    seriallab::FarEnd device = seriallab::FarEnd::attach(c.path);
    const termios before = device.attributes();
    const int descriptors = openDescriptorCount();
    Open open(c.name, "230400");
    EXPECT_EQ(open.result, 1);
    EXPECT_EQ(open.message(), c.message);
    EXPECT_EQ(findPort(c.name)->descriptor.load(), -1);
    EXPECT_EQ(openDescriptorCount(), descriptors);
    EXPECT_EQ(device.attributes().c_lflag, before.c_lflag) << "the device was reprogrammed";
  }
}

TEST_F(OpenPort, ARateTheUartCannotMakeIsARejectedOpen) {
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS6");
  testing_support::SlowUart uart(B115200);
  const int descriptors = openDescriptorCount();
  Open tooFast("COM6", "460800");
  EXPECT_EQ(tooFast.message(), "Error set parameters.");
  EXPECT_EQ(findPort("COM6")->descriptor.load(), -1);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  Open possible("COM6", "115200");
  EXPECT_FALSE(possible.jni.raised) << possible.message();
}

TEST_F(OpenPort, ADeviceThatIsNoTerminalIsRejected) {
  close(open("/dev/ttyUSB7", O_CREAT | O_RDWR, 0600));
  const int descriptors = openDescriptorCount();
  Open open("COMUSB7");
  EXPECT_EQ(open.message(), "Error set parameters.");
  EXPECT_EQ(findPort("COMUSB7")->descriptor.load(), -1);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  unlink("/dev/ttyUSB7");
}

TEST_F(OpenPort, OpeningAgainReleasesTheEarlierDescriptor) {
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS2");
  Open first("COM2");
  const int earlier = findPort("COM2")->descriptor;
  const int descriptors = openDescriptorCount();
  Open second("COM2");
  EXPECT_FALSE(second.jni.raised);
  EXPECT_EQ(openDescriptorCount(), descriptors);
  EXPECT_TRUE(isOpen(findPort("COM2")->descriptor));
  EXPECT_NE(findPort("COM2")->descriptor.load(), earlier);
}

TEST_F(OpenPort, AFailedReopenReleasesTheEarlierDescriptorToo) {
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS2");
  const int descriptors = openDescriptorCount();
  Open first("COM2");
  unlink("/dev/ttyS2");
  Open second("COM2");
  EXPECT_EQ(second.message(), "Error setting serial port COM2 = /dev/ttyS2.");
  EXPECT_EQ(openDescriptorCount(), descriptors);
  Open third("COM2");
  Open rejected("COM2", "9600", "9");
  EXPECT_EQ(openDescriptorCount(), descriptors);
}

TEST_F(OpenPort, NullTextsRaiseInsteadOfCrashing) {
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS3");
  {
    FakeJni jni;
    Java_core_SerialPort_openPortC(jni.env(), nullptr, nullptr, jni.string("9600"), jni.string("8"),
                                   jni.string("1"), jni.string("N"));
    ASSERT_TRUE(jni.raised);
    EXPECT_EQ(jni.raised->message, "Serial port does not exits.");
  }
  Open nullParity("COM3", "9600", "8", "1", nullptr);
  EXPECT_EQ(nullParity.message(), "Error set parameters.");
}

TEST_F(OpenPort, AFailedConversionStopsWithTheErrorPendingAndReleasesTheRest) {
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS3");
  FakeJni jni;
  jstring name = jni.string("COM3");
  jni.failConversions = true;
  Java_core_SerialPort_openPortC(jni.env(), nullptr, name, jni.string("9600"), jni.string("8"),
                                 jni.string("1"), jni.string("N"));
  ASSERT_TRUE(jni.raised);
  EXPECT_EQ(jni.raised->className, "java/lang/OutOfMemoryError");
  EXPECT_EQ(jni.outstandingConversions, 0);
  EXPECT_EQ(findPort("COM3")->descriptor.load(), -1);
}

TEST_F(OpenPort, ConcurrentOpensEachKeepTheirOwnSettings) {
  seriallab::FarEnd standard = seriallab::FarEnd::attach("/dev/ttyS5");
  seriallab::FarEnd usb = seriallab::FarEnd::attach("/dev/ttyUSB5");
  auto openMany = [](const char* name, const char* baud, const char* stop) {
    for (int i = 0; i < 200; ++i) {
      Open open(name, baud, "8", stop, "N");
      ASSERT_FALSE(open.jni.raised) << open.message();
    }
  };
  std::thread a(openMany, "COM5", "9600", "2");
  std::thread b(openMany, "COMUSB5", "115200", "1");
  a.join();
  b.join();
  const termios slow = standard.attributes();
  const termios fast = usb.attributes();
  EXPECT_EQ(seriallab::baudOf(cfgetospeed(&slow)), 9600);
  EXPECT_EQ(slow.c_cflag & CSTOPB, tcflag_t{CSTOPB});
  EXPECT_EQ(seriallab::baudOf(cfgetospeed(&fast)), 115200);
  EXPECT_EQ(fast.c_cflag & CSTOPB, 0u);
}

}  // namespace
