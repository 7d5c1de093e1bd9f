// The natives of serialslots.local.NativeConnection: a thin shell over
// connection::Connection. No C++ exception can leave these functions:
// everything they call is noexcept.
#include <cstring>

#include "bridge/jni_support.h"
#include "bridge/result.h"
#include "connection/connection.h"
#include "connection/exclusive_guard.h"
#include "line/bus.h"
#include "registry/port_table.h"
#include "serialslots_local_NativeConnection.h"

using serialslots::resultOf;
using serialslots::ScopedUtfChars;
using namespace serialslots::connection;

namespace {

// Every code Java decodes is a constant of NativeConnection, which javac -h
// writes into its header: a change on either side alone fails the build here.
template <typename Code>
constexpr bool is(Code code, jint java) {
  return static_cast<jint>(code) == java;
}
static_assert(is(Status::kDone, serialslots_local_NativeConnection_DONE) &&
              is(Status::kTimedOut, serialslots_local_NativeConnection_TIMED_OUT) &&
              is(Status::kHungUp, serialslots_local_NativeConnection_HUNG_UP) &&
              is(Status::kClosed, serialslots_local_NativeConnection_CLOSED) &&
              is(Status::kFailed, serialslots_local_NativeConnection_FAILED) &&
              is(Status::kWouldBlock, serialslots_local_NativeConnection_WOULD_BLOCK));
static_assert(is(Watch::kEvents, serialslots_local_NativeConnection_WATCH_EVENTS) &&
              is(Watch::kRead, serialslots_local_NativeConnection_WATCH_READ) &&
              is(Watch::kWrite, serialslots_local_NativeConnection_WATCH_WRITE));
static_assert(is(OpenFailure::kNone, serialslots_local_NativeConnection_OPENED) &&
              is(OpenFailure::kSystem, serialslots_local_NativeConnection_OPEN_FAILED) &&
              is(OpenFailure::kBusy, serialslots_local_NativeConnection_OPEN_BUSY) &&
              is(OpenFailure::kNotATerminal, serialslots_local_NativeConnection_OPEN_NOT_A_TERMINAL) &&
              is(OpenFailure::kSettingRefused, serialslots_local_NativeConnection_OPEN_SETTING_REFUSED) &&
              is(OpenFailure::kNoMemory, serialslots_local_NativeConnection_OPEN_NO_MEMORY) &&
              is(OpenFailure::kMissing, serialslots_local_NativeConnection_OPEN_MISSING) &&
              is(OpenFailure::kNoDevice, serialslots_local_NativeConnection_OPEN_NO_DEVICE) &&
              is(OpenFailure::kAccessDenied, serialslots_local_NativeConnection_OPEN_ACCESS_DENIED) &&
              is(OpenFailure::kNoGuardian, serialslots_local_NativeConnection_OPEN_NO_GUARDIAN));
static_assert(is(Setting::kNone, serialslots_local_NativeConnection_SETTING_NONE) &&
              is(Setting::kBaud, serialslots_local_NativeConnection_SETTING_BAUD) &&
              is(Setting::kDataBits, serialslots_local_NativeConnection_SETTING_DATA_BITS) &&
              is(Setting::kStopBits, serialslots_local_NativeConnection_SETTING_STOP_BITS) &&
              is(Setting::kParity, serialslots_local_NativeConnection_SETTING_PARITY) &&
              is(Setting::kFlowControl, serialslots_local_NativeConnection_SETTING_FLOW_CONTROL));
static_assert(is(Parity::kNone, serialslots_local_NativeConnection_PARITY_NONE) &&
              is(Parity::kOdd, serialslots_local_NativeConnection_PARITY_ODD) &&
              is(Parity::kEven, serialslots_local_NativeConnection_PARITY_EVEN) &&
              is(Parity::kMark, serialslots_local_NativeConnection_PARITY_MARK) &&
              is(Parity::kSpace, serialslots_local_NativeConnection_PARITY_SPACE));
static_assert(is(FlowControl::kNone, serialslots_local_NativeConnection_FLOW_NONE) &&
              is(FlowControl::kRtsCts, serialslots_local_NativeConnection_FLOW_RTS_CTS) &&
              is(FlowControl::kXonXoff, serialslots_local_NativeConnection_FLOW_XON_XOFF));
static_assert(is(serialslots::line::Rs485Field::kNone, serialslots_local_NativeConnection_RS485_KEPT) &&
              is(serialslots::line::Rs485Field::kMode,
                 serialslots_local_NativeConnection_RS485_NO_MODE) &&
              is(serialslots::line::Rs485Field::kRtsOnSend,
                 serialslots_local_NativeConnection_RS485_RTS_ON_SEND) &&
              is(serialslots::line::Rs485Field::kRtsAfterSend,
                 serialslots_local_NativeConnection_RS485_RTS_AFTER_SEND) &&
              is(serialslots::line::Rs485Field::kDelayBeforeSend,
                 serialslots_local_NativeConnection_RS485_DELAY_BEFORE_SEND) &&
              is(serialslots::line::Rs485Field::kDelayAfterSend,
                 serialslots_local_NativeConnection_RS485_DELAY_AFTER_SEND) &&
              is(serialslots::line::Rs485Field::kReceiveDuringSend,
                 serialslots_local_NativeConnection_RS485_RECEIVE_DURING_SEND) &&
              is(serialslots::line::Rs485Field::kTerminateBus,
                 serialslots_local_NativeConnection_RS485_TERMINATE_BUS));
static_assert(is(kMarkErrors, serialslots_local_NativeConnection_OPTION_MARK_ERRORS) &&
              is(kHoldDtr, serialslots_local_NativeConnection_OPTION_HOLD_DTR));
static_assert(is(kCts, serialslots_local_NativeConnection_LINE_CTS) &&
              is(kDsr, serialslots_local_NativeConnection_LINE_DSR) &&
              is(kDcd, serialslots_local_NativeConnection_LINE_DCD) &&
              is(kRi, serialslots_local_NativeConnection_LINE_RI) &&
              is(kRts, serialslots_local_NativeConnection_LINE_RTS) &&
              is(kDtr, serialslots_local_NativeConnection_LINE_DTR));

// The handle Java holds is the connection's address.
Connection& connectionOf(jlong handle) noexcept {
  return *reinterpret_cast<Connection*>(handle);  // NOLINT(performance-no-int-to-ptr)
}

LineSettings settingsOf(jint baud, jint dataBits, jint stopBits, jint parity, jint flow) noexcept {
  return {baud, dataBits, stopBits, static_cast<Parity>(parity), static_cast<FlowControl>(flow)};
}

// The report open, readSettings and reconfigure fill, laid out by the
// REPORT_ constants: why an open failed, the refused setting, what the driver kept.
void report(JNIEnv* env, jintArray into, OpenFailure failure, int error,
            const LineOutcome& line) noexcept {
  jint values[serialslots_local_NativeConnection_REPORT_LENGTH] = {};
  values[serialslots_local_NativeConnection_REPORT_FAILURE] = static_cast<jint>(failure);
  values[serialslots_local_NativeConnection_REPORT_ERRNO] = error;
  values[serialslots_local_NativeConnection_REPORT_REFUSED] = static_cast<jint>(line.refused);
  values[serialslots_local_NativeConnection_REPORT_BAUD] = line.applied.baud;
  values[serialslots_local_NativeConnection_REPORT_DATA_BITS] = line.applied.dataBits;
  values[serialslots_local_NativeConnection_REPORT_STOP_BITS] = line.applied.stopBits;
  values[serialslots_local_NativeConnection_REPORT_PARITY] = static_cast<jint>(line.applied.parity);
  values[serialslots_local_NativeConnection_REPORT_FLOW] = static_cast<jint>(line.applied.flow);
  env->SetIntArrayRegion(into, 0, serialslots_local_NativeConnection_REPORT_LENGTH, values);
}

// The RS-485 report, laid out by the RS485_ positions: the field not kept,
// and what the driver holds (each field at the position its code names).
void reportRs485(JNIEnv* env, jintArray into,
                 const serialslots::line::Rs485Outcome& line) noexcept {
  jint values[serialslots_local_NativeConnection_RS485_REPORT_LENGTH] = {};
  values[serialslots_local_NativeConnection_RS485_REFUSED] = static_cast<jint>(line.refused);
  values[serialslots_local_NativeConnection_RS485_ENABLED] = line.enabled;
  values[serialslots_local_NativeConnection_RS485_RTS_ON_SEND] = line.kept.rtsOnSend;
  values[serialslots_local_NativeConnection_RS485_RTS_AFTER_SEND] = line.kept.rtsAfterSend;
  values[serialslots_local_NativeConnection_RS485_DELAY_BEFORE_SEND] = line.kept.delayBeforeSendMillis;
  values[serialslots_local_NativeConnection_RS485_DELAY_AFTER_SEND] = line.kept.delayAfterSendMillis;
  values[serialslots_local_NativeConnection_RS485_RECEIVE_DURING_SEND] = line.kept.receiveDuringSend;
  values[serialslots_local_NativeConnection_RS485_TERMINATE_BUS] = line.kept.terminateBus;
  env->SetIntArrayRegion(into, 0, serialslots_local_NativeConnection_RS485_REPORT_LENGTH, values);
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

// The one call that answers no result: a handle is a whole jlong, so what an
// open says besides goes into the report.
JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_open(
    JNIEnv* env, jclass, jstring path, jboolean exclusive, jint baud, jint dataBits, jint stopBits,
    jint parity, jint flow, jint options, jintArray failure) {
  ScopedUtfChars device(env, path);
  if (device.c_str() == nullptr) return 0;
  const OpenResult opened =
      Connection::open(device.c_str(), exclusive == JNI_TRUE,
                       settingsOf(baud, dataBits, stopBits, parity, flow), options);
  report(env, failure, opened.failure, opened.error, opened.line);
  return reinterpret_cast<jlong>(opened.connection);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_read(JNIEnv* env, jclass, jlong handle,
                                                               jbyteArray buffer, jint offset,
                                                               jint length, jint timeoutMillis) {
  const Transfer got = connectionOf(handle).readInto(static_cast<size_t>(length), timeoutMillis,
                                                     PinnedArray{env, buffer, offset, 0},
                                                     PinnedArray{env, buffer, offset, 0});
  return resultOf(got.outcome, static_cast<jlong>(got.count));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_write(JNIEnv* env, jclass, jlong handle,
                                                                jbyteArray buffer, jint offset,
                                                                jint length, jint timeoutMillis) {
  const Transfer put = connectionOf(handle).writeFrom(static_cast<size_t>(length), timeoutMillis,
                                                      PinnedArray{env, buffer, offset, JNI_ABORT},
                                                      PinnedArray{env, buffer, offset, JNI_ABORT});
  return resultOf(put.outcome, static_cast<jlong>(put.count));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_readNow(JNIEnv* env, jclass, jlong handle,
                                                                  jbyteArray buffer, jint offset,
                                                                  jint length) {
  const Transfer got =
      connectionOf(handle).readNow(static_cast<size_t>(length), PinnedArray{env, buffer, offset, 0},
                                   PinnedArray{env, buffer, offset, 0});
  return resultOf(got.outcome, static_cast<jlong>(got.count));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_writeNow(JNIEnv* env, jclass,
                                                                   jlong handle, jbyteArray buffer,
                                                                   jint offset, jint length) {
  const Transfer put = connectionOf(handle).writeNow(static_cast<size_t>(length),
                                                     PinnedArray{env, buffer, offset, JNI_ABORT},
                                                     PinnedArray{env, buffer, offset, JNI_ABORT});
  return resultOf(put.outcome, static_cast<jlong>(put.count));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_outputQueued(JNIEnv*, jclass,
                                                                       jlong handle) {
  return resultOf(connectionOf(handle).outputQueued());
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_available(JNIEnv*, jclass, jlong handle) {
  Outcome outcome{};
  const int waiting = connectionOf(handle).available(outcome);
  return resultOf(outcome, waiting);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_drain(JNIEnv*, jclass, jlong handle,
                                                                jint timeoutMillis) {
  return resultOf(connectionOf(handle).drain(timeoutMillis));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_discard(JNIEnv*, jclass, jlong handle,
                                                                  jboolean input) {
  return resultOf(connectionOf(handle).discard(input == JNI_TRUE));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_setBreak(JNIEnv*, jclass, jlong handle,
                                                                   jboolean on) {
  return resultOf(connectionOf(handle).setBreak(on == JNI_TRUE));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_setModemLine(JNIEnv*, jclass,
                                                                       jlong handle, jint line,
                                                                       jboolean on) {
  return resultOf(connectionOf(handle).setModemLine(static_cast<ModemLine>(line), on == JNI_TRUE));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_modemLines(JNIEnv*, jclass,
                                                                     jlong handle) {
  Outcome outcome{};
  const int lines = connectionOf(handle).modemLines(outcome);
  return resultOf(outcome, lines);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_readSettings(JNIEnv* env, jclass,
                                                                       jlong handle,
                                                                       jintArray settings) {
  LineOutcome line{0, Setting::kNone, {}};
  const Outcome outcome = connectionOf(handle).readSettings(line.applied);
  if (outcome.status == Status::kDone) report(env, settings, OpenFailure::kNone, 0, line);
  return resultOf(outcome);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_reconfigure(JNIEnv* env, jclass,
                                                                      jlong handle, jint baud,
                                                                      jint dataBits, jint stopBits,
                                                                      jint parity, jint flow,
                                                                      jintArray refusal) {
  LineOutcome line{0, Setting::kNone, {}};
  const Outcome outcome =
      connectionOf(handle).reconfigure(settingsOf(baud, dataBits, stopBits, parity, flow), line);
  report(env, refusal, OpenFailure::kNone, 0, line);
  return resultOf(outcome);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_counters(JNIEnv* env, jclass,
                                                                   jlong handle, jlongArray into) {
  Counters counts{};
  const Outcome outcome = connectionOf(handle).counters(counts);
  if (outcome.status != Status::kDone) return resultOf(outcome);
  jlong values[serialslots_local_NativeConnection_COUNTER_LENGTH] = {};
  values[serialslots_local_NativeConnection_COUNTER_RECEIVED] = counts.received;
  values[serialslots_local_NativeConnection_COUNTER_TRANSMITTED] = counts.transmitted;
  values[serialslots_local_NativeConnection_COUNTER_BREAKS] = counts.breaks;
  values[serialslots_local_NativeConnection_COUNTER_FRAMING_ERRORS] = counts.framingErrors;
  values[serialslots_local_NativeConnection_COUNTER_PARITY_ERRORS] = counts.parityErrors;
  values[serialslots_local_NativeConnection_COUNTER_OVERRUNS] = counts.overruns;
  values[serialslots_local_NativeConnection_COUNTER_BUFFER_OVERRUNS] = counts.bufferOverruns;
  values[serialslots_local_NativeConnection_COUNTER_CTS_CHANGES] = counts.ctsChanges;
  values[serialslots_local_NativeConnection_COUNTER_DSR_CHANGES] = counts.dsrChanges;
  values[serialslots_local_NativeConnection_COUNTER_DCD_CHANGES] = counts.dcdChanges;
  values[serialslots_local_NativeConnection_COUNTER_RING_INDICATIONS] = counts.ringIndications;
  env->SetLongArrayRegion(into, 0, serialslots_local_NativeConnection_COUNTER_LENGTH, values);
  return resultOf(outcome);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_setRs485(
    JNIEnv* env, jclass, jlong handle, jboolean enable, jboolean rtsOnSend, jboolean rtsAfterSend,
    jint delayBeforeSend, jint delayAfterSend, jboolean receiveDuringSend, jboolean terminateBus,
    jintArray report) {
  const serialslots::line::Rs485 wanted{
      rtsOnSend == JNI_TRUE, rtsAfterSend == JNI_TRUE,      delayBeforeSend,
      delayAfterSend,        receiveDuringSend == JNI_TRUE, terminateBus == JNI_TRUE};
  serialslots::line::Rs485Outcome line{};
  const Outcome outcome =
      connectionOf(handle).setRs485(enable == JNI_TRUE ? &wanted : nullptr, line);
  reportRs485(env, report, line);
  return resultOf(outcome);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_readRs485(JNIEnv* env, jclass,
                                                                    jlong handle,
                                                                    jintArray report) {
  serialslots::line::Rs485Outcome line{};
  const Outcome outcome = connectionOf(handle).readRs485(line);
  reportRs485(env, report, line);
  return resultOf(outcome);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_setLowLatency(JNIEnv*, jclass,
                                                                        jlong handle, jboolean on) {
  int state = -1;
  const Outcome outcome = connectionOf(handle).setLowLatency(on == JNI_TRUE, state);
  return resultOf(outcome, state);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_readLowLatency(JNIEnv*, jclass,
                                                                         jlong handle) {
  int state = -1;
  const Outcome outcome = connectionOf(handle).readLowLatency(state);
  return resultOf(outcome, state);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_readUntilIdle(
    JNIEnv* env, jclass, jlong handle, jbyteArray buffer, jint offset, jint length,
    jint timeoutMillis, jint idleMicros) {
  const Transfer got = connectionOf(handle).readUntilIdle(
      static_cast<size_t>(length), timeoutMillis, idleMicros, PinnedArray{env, buffer, offset, 0},
      PinnedArray{env, buffer, offset, 0});
  return resultOf(got.outcome, static_cast<jlong>(got.count));
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_awaitModemChange(JNIEnv*, jclass,
                                                                           jlong handle) {
  return resultOf(connectionOf(handle).awaitModemChange());
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_stopModemWaits(JNIEnv*, jclass,
                                                                        jlong handle,
                                                                        jboolean stop) {
  connectionOf(handle).stopModemWaits(stop == JNI_TRUE);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_watch(JNIEnv*, jclass, jlong handle,
                                                                jlong poller, jint watch,
                                                                jlong token) {
  return resultOf(connectionOf(handle).watch(
      *reinterpret_cast<serialslots::events::Poller*>(poller),  // NOLINT(performance-no-int-to-ptr)
      static_cast<Watch>(watch), static_cast<std::uint64_t>(token)));
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_unwatch(JNIEnv*, jclass, jlong handle,
                                                                 jlong poller, jint watch) {
  connectionOf(handle).unwatch(
      *reinterpret_cast<serialslots::events::Poller*>(poller),  // NOLINT(performance-no-int-to-ptr)
      static_cast<Watch>(watch));
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_close(JNIEnv*, jclass, jlong handle,
                                                               jint lingerMillis) {
  connectionOf(handle).close(lingerMillis);
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_release(JNIEnv*, jclass, jlong handle) {
  delete &connectionOf(handle);
}

JNIEXPORT jstring JNICALL Java_serialslots_local_NativeConnection_describeError(JNIEnv* env, jclass,
                                                                          jint error) {
  char text[128] = {};
  // The GNU strerror_r answers a pointer, to `text` or to a static string.
  return env->NewStringUTF(strerror_r(error, text, sizeof text));
}

JNIEXPORT jboolean JNICALL Java_serialslots_local_NativeConnection_driverLacks(JNIEnv*, jclass,
                                                                         jint error) {
  return serialslots::line::driverLacks(error) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jstring JNICALL Java_serialslots_local_NativeConnection_slotDevice(JNIEnv* env, jclass,
                                                                       jstring name) {
  const serialslots::PortName text(env, name);
  const serialslots::PortSlot* slot = serialslots::findPort(text.c_str());
  return slot == nullptr ? nullptr : env->NewStringUTF(slot->devicePath);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_guardianPid(JNIEnv*, jclass) {
  return serialslots::connection::exclusive::guardianPid();
}
