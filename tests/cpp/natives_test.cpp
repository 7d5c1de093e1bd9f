// What a JVM cannot show cheaply: the natives that convert whole strings
// meeting a failed conversion, and opens, reads and writes on several threads at once, for
// ThreadSanitizer to watch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "core_SerialPort.h"
#include "lab/far_end.h"
#include "ops/port_ops.h"

namespace {

// A JNI environment whose conversion number `failAt` fails, as a JVM out of
// memory answers (its error then pending); it counts every other JNI call.
struct FailingJni {
  static inline int conversions, failAt, outstanding, otherCalls;
  JNINativeInterface_ functions{};
  JNIEnv env{};

  FailingJni(int failing) {
    conversions = outstanding = otherCalls = 0;
    failAt = failing;
    functions.GetStringUTFChars = [](JNIEnv*, jstring text, jboolean*) -> const char* {
      if (++conversions == failAt) return nullptr;
      ++outstanding;
      return reinterpret_cast<const char*>(text);
    };
    functions.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) { --outstanding; };
    functions.NewStringUTF = [](JNIEnv*, const char*) -> jstring { return ++otherCalls, nullptr; };
    functions.FindClass = [](JNIEnv*, const char*) -> jclass { return ++otherCalls, nullptr; };
    functions.ThrowNew = [](JNIEnv*, jclass, const char*) { return ++otherCalls; };
    env.functions = &functions;
  }
};

jstring text(const char* chars) { return reinterpret_cast<jstring>(const_cast<char*>(chars)); }

TEST(Natives, AFailedConversionReturnsAtOnceWithTheRestReleasedAndNothingDone) {
  if (!seriallab::insideLab()) GTEST_SKIP() << "needs the serial lab";
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS1");
  const jstring com1 = text("COM1");
  const std::vector<std::pair<int, std::function<void(JNIEnv*)>>> natives = {
      {5,
       [&](JNIEnv* e) {
         Java_core_SerialPort_openPortC(e, nullptr, com1, text("9600"), text("8"), text("1"),
                                        text("N"));
       }},
      {1,
       [&](JNIEnv* e) {
         Java_core_SerialPort_getStateSerialPortC(e, nullptr, text("/dev/ttyS1"));
       }},
  };
  for (size_t native = 0; native < natives.size(); ++native) {
    for (int failing = 1; failing <= natives[native].first; ++failing) {
      FailingJni jni(failing);
      natives[native].second(&jni.env);
      EXPECT_EQ(FailingJni::conversions, failing) << native << " went on converting";
      EXPECT_EQ(FailingJni::outstanding, 0) << native << " left a text unreleased";
      EXPECT_EQ(FailingJni::otherCalls, 0) << native << " called the JVM with its error pending";
    }
  }
  EXPECT_EQ(serialslots::findPort("COM1")->descriptor.load(), -1);
  EXPECT_EQ(device.take(4, 10), "");
}

TEST(Natives, OpensReadsAndWritesOnSeveralThreadsKeepEachSlotsOwnSettings) {
  if (!seriallab::insideLab()) GTEST_SKIP() << "needs the serial lab";
  seriallab::FarEnd standard = seriallab::FarEnd::attach("/dev/ttyS5");
  seriallab::FarEnd usb = seriallab::FarEnd::attach("/dev/ttyUSB5");
  auto openMany = [](const char* name, const char* baud, const char* stop) {
    serialslots::PortSlot* slot = nullptr;
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(serialslots::ops::openPort(name, baud, "8", stop, "N", slot),
                serialslots::ops::OpenOutcome::kOpened);
      unsigned char byte = 0;
      serialslots::ops::writeByte(*slot, 0x55);
      serialslots::ops::readByte(*slot, byte);
    }
    serialslots::ops::closePort(*slot);
  };
  std::thread a(openMany, "COM5", "9600", "2");
  std::thread b(openMany, "COMUSB5", "115200", "1");
  a.join();
  b.join();
  const termios slow = standard.attributes();
  const termios fast = usb.attributes();
  EXPECT_EQ(cfgetospeed(&slow), speed_t{B9600});
  EXPECT_EQ(slow.c_cflag & CSTOPB, tcflag_t{CSTOPB});
  EXPECT_EQ(cfgetospeed(&fast), speed_t{B115200});
  EXPECT_EQ(fast.c_cflag & CSTOPB, 0u);
}

TEST(Natives, NoDeviceBecomesTheControllingTerminalAndDescriptorZeroIsAPortLikeAnyOther) {
  if (!seriallab::insideLab()) GTEST_SKIP() << "needs the serial lab";
  seriallab::FarEnd device = seriallab::FarEnd::attach("/dev/ttyS2");
  // A session leader with no controlling terminal takes the first tty it opens
  // without O_NOCTTY, and a hang-up of that device then sends it SIGHUP.
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    close(STDIN_FILENO);
    serialslots::PortSlot* slot = nullptr;
    const bool probed = serialslots::ops::canOpen("/dev/ttyS2");
    const bool opened = serialslots::ops::openPort("COM2", "9600", "8", "1", "N", slot) ==
                        serialslots::ops::OpenOutcome::kOpened;
    const bool tookZero = opened && slot->descriptor == STDIN_FILENO;
    const bool noTerminal = open("/dev/tty", O_RDWR) < 0;
    serialslots::ops::closePort(*slot);
    _exit(probed && tookZero && noTerminal && fcntl(STDIN_FILENO, F_GETFD) < 0 ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0) << "a device became the controlling terminal, or descriptor 0 stayed open";
}

}  // namespace
