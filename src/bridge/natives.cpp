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
