// The exported natives of core.SerialPort. Each converts its arguments, calls
// the port operation and turns the outcome into a Java result or exception.
// No C++ exception can leave these functions: everything they call is noexcept.
#include "core_SerialPort.h"

#include "bridge/jni_support.h"
#include "bridge/messages.h"
#include "ops/port_ops.h"

using serialslots::PortSlot;
using serialslots::ScopedUtfChars;
using serialslots::throwException;
namespace messages = serialslots::messages;
namespace ops = serialslots::ops;

namespace {

constexpr jint kDone = 1;

}  // namespace

JNIEXPORT jint JNICALL Java_core_SerialPort_closePortC(JNIEnv* env, jclass,
                                                       jstring portName) {
  ScopedUtfChars name(env, portName);
  if (name.failed()) return 0;
  PortSlot* slot = serialslots::findPort(name.c_str());
  if (slot == nullptr) return throwException(env, messages::kNoSuchPort);
  ops::closePort(*slot);
  return kDone;
}

JNIEXPORT jstring JNICALL Java_core_SerialPort_getStateSerialPortC(
    JNIEnv* env, jclass, jstring devicePath) {
  ScopedUtfChars path(env, devicePath);
  if (path.failed()) return nullptr;
  return env->NewStringUTF(ops::canOpen(path.c_str()) ? "free" : "busy");
}

JNIEXPORT jint JNICALL Java_core_SerialPort_setTimeOutSerialPortC(JNIEnv*,
                                                                  jclass) {
  return kDone;
}

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
  switch (ops::openPort(name.c_str(), baud.c_str(), size.c_str(), stop.c_str(),
                        parityText.c_str(), slot)) {
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
