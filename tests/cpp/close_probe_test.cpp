#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "core_SerialPort.h"
#include "fake_jni.h"
#include "test_support.h"

namespace {

using serialslots::findPort;
using testing_jni::FakeJni;
using testing_support::isOpen;
using testing_support::openDescriptorCount;

class ClosePort : public testing_support::SlotsReset {};

TEST_F(ClosePort, ReleasesTheDescriptorAndLeavesTheSlotEmpty) {
  FakeJni jni;
  const int before = openDescriptorCount();
  const int fd = open("/dev/null", O_RDWR);
  findPort("COM1")->descriptor = fd;

  EXPECT_EQ(Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string("COM1")), 1);
  EXPECT_FALSE(jni.raised);
  EXPECT_FALSE(isOpen(fd));
  EXPECT_EQ(openDescriptorCount(), before);
  EXPECT_EQ(findPort("COM1")->descriptor.load(), -1);
  EXPECT_EQ(jni.outstandingConversions, 0);
}

TEST_F(ClosePort, ASecondCloseLeavesAReusedNumberAlone) {
  FakeJni jni;
  findPort("COM2")->descriptor = open("/dev/null", O_RDWR);
  Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string("COM2"));
  const int reused = open("/dev/null", O_RDWR);  // likely the number just freed

  EXPECT_EQ(Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string("COM2")), 1);
  EXPECT_TRUE(isOpen(reused));
  close(reused);
}

TEST_F(ClosePort, ANeverOpenedSlotClosesNothingNotEvenStandardInput) {
  FakeJni jni;
  const int before = openDescriptorCount();
  for (const serialslots::PortSlot& slot : serialslots::portTable) {
    EXPECT_EQ(Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string(slot.name)), 1);
  }
  EXPECT_FALSE(jni.raised);
  EXPECT_TRUE(isOpen(STDIN_FILENO));
  EXPECT_EQ(openDescriptorCount(), before);
}

TEST_F(ClosePort, OneFamilyLeavesTheOtherOpen) {
  FakeJni jni;
  const int standard = open("/dev/null", O_RDWR);
  const int usb = open("/dev/null", O_RDWR);
  findPort("COM3")->descriptor = standard;
  findPort("COMUSB3")->descriptor = usb;

  Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string("COMUSB3"));
  EXPECT_TRUE(isOpen(standard));
  EXPECT_FALSE(isOpen(usb));
  Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string("COM3"));
  EXPECT_FALSE(isOpen(standard));
}

TEST_F(ClosePort, AnUnknownNameRaisesAndClosesNothing) {
  const std::string names[] = {"COM41",
                               "COMUSB41",
                               "com1",
                               "COM1 ",
                               "",
                               "COM01",
                               testing_jni::modifiedUtf8(std::u16string(u"COM1\0", 5))};
  for (const std::string& name : names) {
    FakeJni jni;
    const int before = openDescriptorCount();
    EXPECT_EQ(Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string(name)), 0);
    ASSERT_TRUE(jni.raised) << name;
    EXPECT_EQ(jni.raised->className, "java/lang/Exception");
    EXPECT_EQ(jni.raised->message, "Serial port does not exits.");
    EXPECT_EQ(jni.outstandingConversions, 0);
    EXPECT_EQ(jni.callsWhilePending, 0);
    EXPECT_EQ(openDescriptorCount(), before);
  }
}

TEST_F(ClosePort, ANullNameIsAnUnknownName) {
  FakeJni jni;
  Java_core_SerialPort_closePortC(jni.env(), nullptr, nullptr);
  ASSERT_TRUE(jni.raised);
  EXPECT_EQ(jni.raised->message, "Serial port does not exits.");
}

TEST_F(ClosePort, AFailedConversionReturnsWithTheErrorPending) {
  FakeJni jni;
  const int fd = open("/dev/null", O_RDWR);
  findPort("COM1")->descriptor = fd;
  jni.failConversions = true;
  Java_core_SerialPort_closePortC(jni.env(), nullptr, jni.string("COM1"));
  ASSERT_TRUE(jni.raised);
  EXPECT_EQ(jni.raised->className, "java/lang/OutOfMemoryError");
  EXPECT_TRUE(isOpen(fd));
}

std::string probe(const char* path) {
  FakeJni jni;
  jstring answer = Java_core_SerialPort_getStateSerialPortC(
      jni.env(), nullptr, path == nullptr ? nullptr : jni.string(path));
  EXPECT_FALSE(jni.raised);
  EXPECT_EQ(jni.outstandingConversions, 0);
  return FakeJni::text(answer);
}

TEST(Probe, AnswersFreeForADeviceThatOpensAndBusyOtherwise) {
  REQUIRE_LAB();
  const int before = openDescriptorCount();
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS4");
  EXPECT_EQ(probe("/dev/ttyS4"), "free");

  EXPECT_EQ(probe("/dev/ttyS39"), "busy");  // no such node
  EXPECT_EQ(probe("/dev"), "busy");         // a directory
  EXPECT_EQ(probe(""), "busy");
  EXPECT_EQ(probe(nullptr), "busy");
  mkdir("/dev/ttyUSB9", 0755);
  EXPECT_EQ(probe("/dev/ttyUSB9"), "busy");
  rmdir("/dev/ttyUSB9");
  EXPECT_EQ(openDescriptorCount(), before + 1);  // only the far end's master
}

TEST(Probe, TakesANameAsAPathInTheWorkingDirectory) {
  char scratch[] = "/tmp/serialslots-probe-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(scratch), 0);
  EXPECT_EQ(probe("COM1"), "busy");
  close(open("COM1", O_CREAT | O_RDWR, 0600));
  EXPECT_EQ(probe("COM1"), "free");
  unlink("COM1");
  ASSERT_EQ(chdir(previous), 0);
  rmdir(scratch);
}

TEST(Timeout, AnswersOneAndTouchesNothing) {
  FakeJni jni;
  EXPECT_EQ(Java_core_SerialPort_setTimeOutSerialPortC(jni.env(), nullptr), 1);
  EXPECT_FALSE(jni.raised);
  EXPECT_EQ(jni.conversions, 0);
}

}  // namespace
