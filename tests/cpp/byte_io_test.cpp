#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "core_SerialPort.h"
#include "fake_jni.h"
#include "test_support.h"

namespace {

using testing_jni::FakeJni;
using testing_jni::modifiedUtf8;

// COM1 opened at 9600 8N1 on a lab pty whose far end the test holds.
class ByteIo : public testing_support::SlotsReset {
 protected:
  void SetUp() override {
    REQUIRE_LAB();
    device_.emplace(seriallab::FarEnd::attach("/dev/ttyS1"));
    FakeJni jni;
    Java_core_SerialPort_openPortC(jni.env(), nullptr, jni.string("COM1"), jni.string("9600"),
                                   jni.string("8"), jni.string("1"), jni.string("N"));
    ASSERT_FALSE(jni.raised) << jni.raised->message;
  }
  void expectClean(const FakeJni& jni) {
    EXPECT_FALSE(jni.raised) << jni.raised->message;
    EXPECT_EQ(jni.outstandingConversions, 0);
  }
  std::string sent() { return device_->take(16, 50); }

  std::optional<seriallab::FarEnd> device_;
};

TEST_F(ByteIo, AnIntSendsItsLowByteOnly) {
  const std::pair<jint, char> cases[] = {
      {65, '\x41'},   {321, '\x41'}, {255, '\xFF'}, {-1, '\xFF'},   {256, '\x00'},
      {-128, '\x80'}, {10, '\n'},    {13, '\r'},    {0x11, '\x11'}, {0x13, '\x13'}};
  for (const auto& [data, byte] : cases) {
    FakeJni jni;
    EXPECT_EQ(Java_core_SerialPort_writeDataInt(jni.env(), nullptr, jni.string("COM1"), data), 1);
    expectClean(jni);
    EXPECT_EQ(sent(), std::string(1, byte)) << data;
  }
}

TEST_F(ByteIo, ACharSendsItsLowByteOnly) {
  const std::pair<jchar, char> cases[] = {
      {0x41, '\x41'}, {0xE9, '\xE9'}, {0x141, '\x41'}, {0x20AC, '\xAC'}, {0x0A, '\n'}};
  for (const auto& [data, byte] : cases) {
    FakeJni jni;
    EXPECT_EQ(Java_core_SerialPort_writePortC__Ljava_lang_String_2C(jni.env(), nullptr,
                                                                    jni.string("COM1"), data),
              1);
    expectClean(jni);
    EXPECT_EQ(sent(), std::string(1, byte)) << data;
  }
}

TEST_F(ByteIo, AStringSendsTheFirstByteOfItsModifiedUtf8) {
  const std::pair<std::u16string, char> cases[] = {
      {u"ABC", '\x41'},
      {u"", '\x00'},
      {u"\u00E9t\u00E9", '\xC3'},
      {u"\u20AC", '\xE2'},
      {std::u16string(u"\0A", 2), '\xC0'},
      {u"\U0001F600", '\xED'},
  };
  for (const auto& [data, byte] : cases) {
    FakeJni jni;
    EXPECT_EQ(Java_core_SerialPort_writePortC__Ljava_lang_String_2Ljava_lang_String_2(
                  jni.env(), nullptr, jni.string("COM1"), jni.string(modifiedUtf8(data))),
              1);
    expectClean(jni);
    EXPECT_EQ(jni.conversions, 2);
    EXPECT_EQ(sent(), std::string(1, byte));
  }
}

TEST_F(ByteIo, ANullDataStringRaisesAndSendsNothing) {
  FakeJni jni;
  Java_core_SerialPort_writePortC__Ljava_lang_String_2Ljava_lang_String_2(
      jni.env(), nullptr, jni.string("COM1"), nullptr);
  ASSERT_TRUE(jni.raised);
  EXPECT_EQ(jni.raised->className, "java/lang/NullPointerException");
  EXPECT_EQ(sent(), "");
}

TEST_F(ByteIo, UnknownNamesRaiseEachNativesMessageAndMoveNoByte) {
  device_->inject("Z");
  for (const char* name : {"COM41", "COMUSB41", "com1", "COM1 ", "/dev/ttyS1"}) {
    FakeJni jni;
    EXPECT_EQ(Java_core_SerialPort_writeDataInt(jni.env(), nullptr, jni.string(name), 65), 0);
    EXPECT_EQ(jni.raised->message, "Serial port does not exits.");
    FakeJni jni2;
    EXPECT_EQ(Java_core_SerialPort_writePortC__Ljava_lang_String_2Ljava_lang_String_2(
                  jni2.env(), nullptr, jni2.string(name), jni2.string("A")),
              1);
    EXPECT_EQ(jni2.raised->message, "Serial port does not exits.");
    EXPECT_EQ(jni2.conversions, 2);
    EXPECT_EQ(jni2.outstandingConversions, 0);
    FakeJni jni3;
    EXPECT_EQ(Java_core_SerialPort_readDataInt(jni3.env(), nullptr, jni3.string(name)), 0);
    EXPECT_EQ(jni3.raised->message, "Can not be read serial port.");
    FakeJni jni4;
    EXPECT_EQ(Java_core_SerialPort_readPortC(jni4.env(), nullptr, jni4.string(name)), nullptr);
    EXPECT_EQ(jni4.raised->message, "Can not be read serial port.");
    EXPECT_EQ(jni4.callsWhilePending, 0);
    EXPECT_EQ(jni4.stringsMade, 0);
  }
  EXPECT_EQ(sent(), "");
  FakeJni jni;
  EXPECT_EQ(Java_core_SerialPort_readDataInt(jni.env(), nullptr, jni.string("COM1")), 'Z');
}

TEST_F(ByteIo, EachReadTakesOneByteInItsOwnShape) {
  struct Case {
    char byte;
    jint asInt;
    jchar asChar;
    std::string asText;  // modified UTF-8
  };
  const Case cases[] = {
      {'\x41', 65, 0x41, "A"},
      {'\x00', 0, 0, ""},
      {'\x7F', 127, 0x7F, "\x7F"},
      {'\x80', 128, 0xFF80, "\xC2\x80"},
      {'\xE9', 233, 0xFFE9, "\xC3\xA9"},
      {'\xFF', 255, 0xFFFF, "\xC3\xBF"},
      {'\r', 13, 13, "\r"},
      {'\x11', 17, 17, "\x11"},
  };
  for (const Case& c : cases) {
    device_->inject(std::string(3, c.byte));
    usleep(2000);
    FakeJni jni;
    jstring port = jni.string("COM1");
    EXPECT_EQ(Java_core_SerialPort_readDataInt(jni.env(), nullptr, port), c.asInt);
    EXPECT_EQ(Java_core_SerialPort_readPortLikeCharC(jni.env(), nullptr, port), c.asChar);
    EXPECT_EQ(FakeJni::text(Java_core_SerialPort_readPortC(jni.env(), nullptr, port)), c.asText);
    EXPECT_EQ(Java_core_SerialPort_readDataInt(jni.env(), nullptr, port), 0) << "a fourth byte";
    expectClean(jni);
  }
}

TEST_F(ByteIo, ABrokenSlotGivesNoByteOnReadAndRaisesOnWrite) {
  // A failed open leaves -1; reads must not fall through to standard input.
  FakeJni jni;
  Java_core_SerialPort_openPortC(jni.env(), nullptr, jni.string("COM2"), jni.string("9600"),
                                 jni.string("8"), jni.string("1"), jni.string("N"));
  FakeJni reader;
  EXPECT_EQ(Java_core_SerialPort_readDataInt(reader.env(), nullptr, reader.string("COM2")), 0);
  EXPECT_EQ(Java_core_SerialPort_readDataInt(reader.env(), nullptr, reader.string("COM9")), 0);
  EXPECT_FALSE(reader.raised);
  FakeJni writer;
  Java_core_SerialPort_writeDataInt(writer.env(), nullptr, writer.string("COM2"), 65);
  EXPECT_EQ(writer.raised->message, "Can not be write serial port COM2 = /dev/ttyS2.");
  FakeJni never;
  Java_core_SerialPort_writePortC__Ljava_lang_String_2C(never.env(), nullptr,
                                                        never.string("COMUSB0"), 'A');
  EXPECT_EQ(never.raised->message, "Can not be write serial port COMUSB0 = /dev/ttyUSB0.");
}

TEST_F(ByteIo, AFullOutputQueueRaisesAtOnceAndDrainingRecovers) {
  int accepted = 0;
  std::optional<std::string> failure;
  while (!failure && accepted < 1000000) {
    FakeJni jni;
    Java_core_SerialPort_writeDataInt(jni.env(), nullptr, jni.string("COM1"), 0x55);
    if (jni.raised)
      failure = jni.raised->message;
    else
      ++accepted;
  }
  ASSERT_TRUE(failure) << "the queue never filled";
  EXPECT_EQ(*failure, "Can not be write serial port COM1 = /dev/ttyS1.");
  EXPECT_EQ(device_->take(static_cast<size_t>(accepted) + 10, 100).size(),
            static_cast<size_t>(accepted));
  FakeJni jni;
  EXPECT_EQ(Java_core_SerialPort_writeDataInt(jni.env(), nullptr, jni.string("COM1"), 0x41), 1);
  EXPECT_EQ(sent(), "A");
}

TEST_F(ByteIo, AVanishedDeviceReadsNothingRaisesOnWriteAndStillCloses) {
  device_->hangUp();
  FakeJni jni;
  jstring port = jni.string("COM1");
  EXPECT_EQ(Java_core_SerialPort_readDataInt(jni.env(), nullptr, port), 0);
  EXPECT_EQ(FakeJni::text(Java_core_SerialPort_readPortC(jni.env(), nullptr, port)), "");
  EXPECT_FALSE(jni.raised);
  Java_core_SerialPort_writeDataInt(jni.env(), nullptr, port, 65);
  ASSERT_TRUE(jni.raised);
  EXPECT_EQ(jni.raised->message, "Can not be write serial port COM1 = /dev/ttyS1.");
  FakeJni closer;
  EXPECT_EQ(Java_core_SerialPort_closePortC(closer.env(), nullptr, closer.string("COM1")), 1);
}

}  // namespace
