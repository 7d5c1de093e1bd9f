// The natives of serialslots.NativeConnection: a thin shell over
// connection::Connection. Outcomes cross as small codes (a Status, with the
// errno above it) that the Java side turns into exceptions and messages.
// No C++ exception can leave these functions: everything they call is noexcept.
#include <cstring>

#include "bridge/jni_support.h"
#include "connection/connection.h"
#include "registry/port_table.h"
#include "serialslots_NativeConnection.h"

using serialslots::ScopedUtfChars;
using namespace serialslots::connection;

namespace {

jint codeOf(const Outcome& outcome) noexcept {
  return static_cast<jint>(outcome.status) | outcome.error << 8;
}

// The handle Java holds is the connection's address.
Connection& connectionOf(jlong handle) noexcept {
  return *reinterpret_cast<Connection*>(handle);  // NOLINT(performance-no-int-to-ptr)
}

LineSettings settingsOf(jint baud, jint dataBits, jint stopBits, jint parity, jint flow) noexcept {
  return {baud, dataBits, stopBits, static_cast<Parity>(parity), static_cast<FlowControl>(flow)};
}

// {refused setting, baud, data bits, stop bits, parity, flow} after `at`.
void reportLine(JNIEnv* env, jintArray into, jsize at, const LineOutcome& line) noexcept {
  const jint values[] = {static_cast<jint>(line.refused),
                         line.applied.baud,
                         line.applied.dataBits,
                         line.applied.stopBits,
                         static_cast<jint>(line.applied.parity),
                         static_cast<jint>(line.applied.flow)};
  env->SetIntArrayRegion(into, at, 6, values);
}

// Lends a Java array to one non-blocking system call at a time. Nothing may
// wait, and no JNI call may be made, while it is pinned.
struct PinnedArray {
  JNIEnv* env;
  jbyteArray array;
  jint offset;
  jint mode;  // 0 copies back what a read put there; JNI_ABORT for a write
  unsigned char* operator()() const noexcept {
    auto* bytes = static_cast<unsigned char*>(env->GetPrimitiveArrayCritical(array, nullptr));
    return bytes == nullptr ? nullptr : bytes + offset;
  }
  void operator()(const void* pinned) const noexcept {
    env->ReleasePrimitiveArrayCritical(
        array, const_cast<unsigned char*>(static_cast<const unsigned char*>(pinned)) - offset,
        mode);
  }
};

}  // namespace

JNIEXPORT jlong JNICALL Java_serialslots_NativeConnection_open(JNIEnv* env, jclass, jstring path,
                                                               jboolean exclusive, jint baud,
                                                               jint dataBits, jint stopBits,
                                                               jint parity, jint flow,
                                                               jintArray failure) {
  ScopedUtfChars device(env, path);
  if (device.c_str() == nullptr) return 0;
  const OpenResult opened = Connection::open(device.c_str(), exclusive == JNI_TRUE,
                                             settingsOf(baud, dataBits, stopBits, parity, flow));
  const jint head[] = {static_cast<jint>(opened.failure), opened.error};
  env->SetIntArrayRegion(failure, 0, 2, head);
  reportLine(env, failure, 2, opened.line);
  return reinterpret_cast<jlong>(opened.connection);
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_read(JNIEnv* env, jclass, jlong handle,
                                                              jbyteArray buffer, jint offset,
                                                              jint length, jint timeoutMillis) {
  const Transfer got = connectionOf(handle).readInto(static_cast<size_t>(length), timeoutMillis,
                                                     PinnedArray{env, buffer, offset, 0},
                                                     PinnedArray{env, buffer, offset, 0});
  return got.count > 0 ? static_cast<jint>(got.count) : -codeOf(got.outcome);
}

JNIEXPORT jlong JNICALL Java_serialslots_NativeConnection_write(JNIEnv* env, jclass, jlong handle,
                                                                jbyteArray buffer, jint offset,
                                                                jint length, jint timeoutMillis) {
  const Transfer put = connectionOf(handle).writeFrom(static_cast<size_t>(length), timeoutMillis,
                                                      PinnedArray{env, buffer, offset, JNI_ABORT},
                                                      PinnedArray{env, buffer, offset, JNI_ABORT});
  return static_cast<jlong>(codeOf(put.outcome)) << 32 | static_cast<jlong>(put.count);
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_available(JNIEnv*, jclass, jlong handle) {
  Outcome outcome{};
  const int waiting = connectionOf(handle).available(outcome);
  return waiting >= 0 ? waiting : -codeOf(outcome);
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_drain(JNIEnv*, jclass, jlong handle,
                                                               jint timeoutMillis) {
  return codeOf(connectionOf(handle).drain(timeoutMillis));
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_discard(JNIEnv*, jclass, jlong handle,
                                                                 jboolean input) {
  return codeOf(connectionOf(handle).discard(input == JNI_TRUE));
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_sendBreak(JNIEnv*, jclass, jlong handle,
                                                                   jint millis) {
  return codeOf(connectionOf(handle).sendBreak(millis));
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_setModemLine(JNIEnv*, jclass, jlong handle,
                                                                      jint line, jboolean on) {
  return codeOf(connectionOf(handle).setModemLine(static_cast<ModemLine>(line), on == JNI_TRUE));
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_modemLines(JNIEnv*, jclass, jlong handle) {
  Outcome outcome{};
  const int lines = connectionOf(handle).modemLines(outcome);
  return lines >= 0 ? lines : -codeOf(outcome);
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_readSettings(JNIEnv* env, jclass,
                                                                      jlong handle,
                                                                      jintArray settings) {
  LineOutcome line{0, Setting::kNone, {}};
  const Outcome outcome = connectionOf(handle).readSettings(line.applied);
  if (outcome.status == Status::kDone) reportLine(env, settings, 0, line);
  return codeOf(outcome);
}

JNIEXPORT jint JNICALL Java_serialslots_NativeConnection_reconfigure(JNIEnv* env, jclass,
                                                                     jlong handle, jint baud,
                                                                     jint dataBits, jint stopBits,
                                                                     jint parity, jint flow,
                                                                     jintArray refusal) {
  LineOutcome line{0, Setting::kNone, {}};
  const Outcome outcome =
      connectionOf(handle).reconfigure(settingsOf(baud, dataBits, stopBits, parity, flow), line);
  reportLine(env, refusal, 0, line);
  return codeOf(outcome);
}

JNIEXPORT void JNICALL Java_serialslots_NativeConnection_close(JNIEnv*, jclass, jlong handle) {
  connectionOf(handle).close();
}

JNIEXPORT void JNICALL Java_serialslots_NativeConnection_release(JNIEnv*, jclass, jlong handle) {
  delete &connectionOf(handle);
}

JNIEXPORT jstring JNICALL Java_serialslots_NativeConnection_describeError(JNIEnv* env, jclass,
                                                                          jint error) {
  char text[128] = {};
  // The GNU strerror_r answers a pointer, to `text` or to a static string.
  return env->NewStringUTF(strerror_r(error, text, sizeof text));
}

JNIEXPORT jstring JNICALL Java_serialslots_NativeConnection_slotDevice(JNIEnv* env, jclass,
                                                                       jstring name) {
  const serialslots::PortName text(env, name);
  const serialslots::PortSlot* slot = serialslots::findPort(text.c_str());
  return slot == nullptr ? nullptr : env->NewStringUTF(slot->devicePath);
}
