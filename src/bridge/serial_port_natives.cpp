// The exported natives of core.SerialPort. Each converts its arguments, calls
// the port operation and turns the outcome into a Java result or exception.
// No C++ exception can leave these functions: everything they call is noexcept.
#include "bridge/jni_support.h"
#include "bridge/messages.h"
#include "core_SerialPort.h"
#include "ops/port_ops.h"

using serialslots::PortName;
using serialslots::PortSlot;
using serialslots::ScopedUtfChars;
using serialslots::throwException;
namespace messages = serialslots::messages;
namespace ops = serialslots::ops;

namespace {

constexpr jint kDone = 1;

}  // namespace

JNIEXPORT jint JNICALL Java_core_SerialPort_closePortC(JNIEnv* env, jclass, jstring portName) {
  const PortName name(env, portName);
  PortSlot* slot = serialslots::findPort(name.c_str());
  if (slot == nullptr) return throwException(env, messages::kNoSuchPort);
  ops::closePort(*slot);
  return kDone;
}

JNIEXPORT jstring JNICALL Java_core_SerialPort_getStateSerialPortC(JNIEnv* env, jclass,
                                                                   jstring devicePath) {
  ScopedUtfChars path(env, devicePath);
  if (path.failed()) return nullptr;
  return env->NewStringUTF(ops::canOpen(path.c_str()) ? messages::kFree : messages::kBusy);
}

JNIEXPORT jint JNICALL Java_core_SerialPort_setTimeOutSerialPortC(JNIEnv*, jclass) { return kDone; }

JNIEXPORT jint JNICALL Java_core_SerialPort_openPortC(JNIEnv* env, jclass, jstring portName,
                                                      jstring baudRate, jstring byteSize,
                                                      jstring stopBits, jstring parity) {
  // All five texts exist before the name is looked at; a failed conversion
  // returns with the JVM's error pending and the earlier texts released.
  ScopedUtfChars name(env, portName);
  if (name.failed()) return kDone;
  ScopedUtfChars baud(env, baudRate);
  if (baud.failed()) return kDone;
  ScopedUtfChars size(env, byteSize);
  if (size.failed()) return kDone;
  ScopedUtfChars stop(env, stopBits);
  if (stop.failed()) return kDone;
  ScopedUtfChars parityText(env, parity);
  if (parityText.failed()) return kDone;

  PortSlot* slot = nullptr;
  switch (ops::openPort(name.c_str(), baud.c_str(), size.c_str(), stop.c_str(), parityText.c_str(),
                        slot)) {
    case ops::OpenOutcome::kOpened:
      break;
    case ops::OpenOutcome::kNoSuchPort:
      throwException(env, messages::kNoSuchPort);
      break;
    case ops::OpenOutcome::kOpenFailed:
      throwException(env, messages::openFailed(*slot).text);
      break;
    case ops::OpenOutcome::kParametersRejected:
      throwException(env, messages::parametersRejected(*slot).text);
      break;
  }
  return kDone;
}

namespace {

// Sends one byte to a slot found by name (nullptr: none matched). Answers what
// write() returned, or, after raising, ThrowNew's result.
jint sendByte(JNIEnv* env, const PortSlot* slot, unsigned char byte) {
  if (slot == nullptr) return throwException(env, messages::kNoSuchPort);
  const ssize_t written = ops::writeByte(*slot, byte);
  if (written < 0) return throwException(env, messages::writeFailed(*slot).text);
  return static_cast<jint>(written);
}

unsigned char lowByte(unsigned int value) { return static_cast<unsigned char>(value & 0xFFu); }

}  // namespace

JNIEXPORT jint JNICALL Java_core_SerialPort_writeDataInt(JNIEnv* env, jclass, jstring portName,
                                                         jint data) {
  const PortName name(env, portName);
  return sendByte(env, serialslots::findPort(name.c_str()),
                  lowByte(static_cast<unsigned int>(data)));
}

JNIEXPORT jint JNICALL Java_core_SerialPort_writePortC__Ljava_lang_String_2C(JNIEnv* env, jclass,
                                                                             jstring portName,
                                                                             jchar data) {
  const PortName name(env, portName);
  sendByte(env, serialslots::findPort(name.c_str()), lowByte(data));
  return kDone;
}

JNIEXPORT jint JNICALL Java_core_SerialPort_writePortC__Ljava_lang_String_2Ljava_lang_String_2(
    JNIEnv* env, jclass, jstring portName, jstring data) {
  const PortName name(env, portName);
  const PortSlot* slot = serialslots::findPort(name.c_str());
  if (slot != nullptr && data == nullptr) {
    serialslots::throwNew(env, "java/lang/NullPointerException", messages::kNullData);
    return kDone;
  }
  // The first byte of the data's modified UTF-8 form; the terminating zero for "".
  sendByte(env, slot, data == nullptr ? 0 : serialslots::firstUtfByte(env, data));
  return kDone;
}

namespace {

// The named slot, or nullptr after raising the reading natives' message.
const PortSlot* readableSlot(JNIEnv* env, const char* name) {
  const PortSlot* slot = serialslots::findPort(name);
  if (slot == nullptr) throwException(env, messages::kCannotRead);
  return slot;
}

// The next waiting byte, or 0 when there is none, like a received 0x00.
unsigned char takeByte(const PortSlot& slot) {
  unsigned char byte = 0;
  return ops::readByte(slot, byte) ? byte : 0;
}

}  // namespace

JNIEXPORT jint JNICALL Java_core_SerialPort_readDataInt(JNIEnv* env, jclass, jstring portName) {
  const PortName name(env, portName);
  const PortSlot* slot = readableSlot(env, name.c_str());
  return slot == nullptr ? 0 : takeByte(*slot);
}

JNIEXPORT jchar JNICALL Java_core_SerialPort_readPortLikeCharC(JNIEnv* env, jclass,
                                                               jstring portName) {
  const PortName name(env, portName);
  const PortSlot* slot = readableSlot(env, name.c_str());
  if (slot == nullptr) return 0;
  // Sign-extended: 0x80 gives U+FF80. Callers cast the char back to a byte.
  return static_cast<jchar>(static_cast<signed char>(takeByte(*slot)));
}

JNIEXPORT jstring JNICALL Java_core_SerialPort_readPortC(JNIEnv* env, jclass, jstring portName) {
  const PortName name(env, portName);
  const PortSlot* slot = readableSlot(env, name.c_str());
  if (slot == nullptr) return nullptr;
  const unsigned char byte = takeByte(*slot);
  // One character U+0000..U+00FF in modified UTF-8: a lone byte above 0x7F
  // would be malformed, so it becomes its two-byte form. 0x00 gives "".
  char text[3] = {};
  if (byte < 0x80) {
    text[0] = static_cast<char>(byte);
  } else {
    text[0] = static_cast<char>(0xC0 | (byte >> 6));
    text[1] = static_cast<char>(0x80 | (byte & 0x3F));
  }
  return env->NewStringUTF(text);
}
