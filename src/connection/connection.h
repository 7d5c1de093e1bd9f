// A serial connection: a device opened by path, waited on with poll(), that
// one thread may close while others read, write or wait on it. Plain C++;
// the JNI shell in src/bridge turns its outcomes into Java results.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "connection/interruption.h"
#include "events/poller.h"
#include "line/bus.h"
#include "line/line.h"

namespace serialslots::connection {

using line::FlowControl;
using line::LineOutcome;
using line::LineSettings;
using line::Parity;
using line::Setting;

// How a call ended, besides moving bytes.
enum class Status : int {
  kDone = 0,
  kTimedOut = 1,
  kHungUp = 2,      // the device went away (an adapter pulled, a pty's far end closed): for good
  kClosed = 3,      // this connection was closed, before or during the call
  kFailed = 4,      // a system call failed; the errno says why
  kWouldBlock = 5,  // a step that does not wait found nothing to do yet
};

struct Outcome {
  Status status;
  int error;  // errno when kFailed
};

struct Transfer {
  size_t count;  // bytes moved before the call ended
  Outcome outcome;
};

// Why an open failed, as far as the errno tells.
enum class OpenFailure : int {
  kNone,
  kSystem,          // the errno says why
  kBusy,            // another program's TIOCEXCL, or another open's lock
  kNotATerminal,    // a regular file, a FIFO, a directory
  kSettingRefused,  // the driver did not keep a setting
  kNoMemory,
  kMissing,       // nothing at the path
  kNoDevice,      // a node with no device behind it, a dangling link, a removed adapter
  kAccessDenied,  // no permission
  kNoGuardian,    // exclusive, but no guardian could be had to release it if this process ends
};

struct OpenResult {
  class Connection* connection;  // owned by the caller, nullptr on failure
  OpenFailure failure;
  int error;         // errno of the failed call, for its text
  LineOutcome line;  // for kSettingRefused: what was refused and what the driver kept
};

// What an open may ask besides the settings, as bits.
enum OpenOption : int {
  kMarkErrors = 1,  // bad bytes and breaks marked in the stream (PARMRK), a received 0xFF doubled
  kHoldDtr = 2,  // HUPCL off: closing leaves DTR and RTS raised, so the next open raises no edge;
                 // without it HUPCL is on, and closing drops them
};

// What the driver has counted since the device was opened by anyone.
struct Counters {
  long long received, transmitted, breaks, framingErrors, parityErrors, overruns, bufferOverruns,
      ctsChanges, dsrChanges, dcdChanges, ringIndications;
};

// What a poller may wait for on a connection, each on a descriptor of its own.
enum class Watch : int {
  kEvents,  // arrivals and hang-up, edge-triggered: each new arrival once
  kRead,    // readable, once: a waiting read
  kWrite,   // writable, once: a waiting write
};
inline constexpr int kWatchKinds = 3;

// Modem lines, as bits.
enum ModemLine : int { kCts = 1, kDsr = 2, kDcd = 4, kRi = 8, kRts = 16, kDtr = 32 };

class Connection {
 public:
  // Opens `path` read-write, non-blocking, close-on-exec and never as the
  // controlling terminal, and locks it (flock) before the settings are
  // touched: shared for a shared open, exclusive with TIOCEXCL otherwise.
  // `options` are OpenOption bits.
  static OpenResult open(const char* path, bool exclusive, const LineSettings& settings,
                         int options = 0) noexcept;

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Waits up to timeoutMillis (0: without limit) for at least one byte and
  // returns what is there, up to `max`.
  Transfer read(void* buffer, size_t max, int timeoutMillis) noexcept {
    return readInto(
        max, timeoutMillis, [buffer] { return buffer; }, [](void*) {});
  }
  // Writes every byte, waiting while the output queue is full, up to
  // timeoutMillis (0: without limit) in all.
  Transfer write(const void* buffer, size_t length, int timeoutMillis) noexcept {
    return writeFrom(
        length, timeoutMillis, [buffer] { return buffer; }, [](const void*) {});
  }

  // The same, for memory that `pin` lends for one system call at a time and
  // `unpin` takes back before any wait: the bridge lends a Java array so.
  template <typename Pin, typename Unpin>
  Transfer readInto(size_t max, int timeoutMillis, Pin pin, Unpin unpin) noexcept;
  template <typename Pin, typename Unpin>
  Transfer writeFrom(size_t length, int timeoutMillis, Pin pin, Unpin unpin) noexcept;
  // One read or write that does not wait: what it moved, or kWouldBlock.
  // For callers that wait elsewhere (a virtual thread, parked in Java).
  template <typename Pin, typename Unpin>
  Transfer readNow(size_t max, Pin pin, Unpin unpin) noexcept;
  template <typename Pin, typename Unpin>
  Transfer writeNow(size_t length, Pin pin, Unpin unpin) noexcept;
  // Bytes waiting to be read (0 after a hang-up), or -1 with `outcome` set.
  int available(Outcome& outcome) noexcept;
  // kDone once the output queue is empty, else kWouldBlock: drain()'s first
  // part, for callers that wait elsewhere.
  Outcome outputQueued() noexcept;
  // Returns once the output queue and the transmitter are empty (where the
  // driver tells: TIOCSERGETLSR), the timeout (0: none) has passed or the
  // connection is closed.
  Outcome drain(int timeoutMillis) noexcept;
  Outcome discard(bool input) noexcept;
  // Starts or ends the break condition; close() ends one still going.
  Outcome setBreak(bool on) noexcept;
  Outcome setModemLine(ModemLine line, bool on) noexcept;
  // The ModemLine bits that are set, or -1 with `outcome` set.
  int modemLines(Outcome& outcome) noexcept;
  Outcome readSettings(LineSettings& settings) noexcept;
  Outcome counters(Counters& counts) noexcept;
  // RS-485 mode: on with `wanted`, off with nullptr; `line` says what the
  // driver kept. And low latency, on or off, read back into `on`.
  Outcome setRs485(const line::Rs485* wanted, line::Rs485Outcome& line) noexcept;
  Outcome readRs485(line::Rs485Outcome& line) noexcept;
  // `state` is 1 on, 0 off, -1 where the driver has no latency control or
  // did not keep what was asked.
  Outcome setLowLatency(bool wanted, int& state) noexcept;
  Outcome readLowLatency(int& state) noexcept;
  // Waits up to firstTimeoutMillis (0: without limit) for a first byte, then
  // takes bytes until the line has been silent for idleMicros or `max` came.
  template <typename Pin, typename Unpin>
  Transfer readUntilIdle(size_t max, int firstTimeoutMillis, long idleMicros, Pin pin,
                         Unpin unpin) noexcept;
  // Waits in the kernel until a modem input line changes, close() comes or
  // stopModemWaits(true) does (then kClosed). stopModemWaits(false) lets
  // such waits happen again.
  Outcome awaitModemChange() noexcept;
  void stopModemWaits(bool stop) noexcept;
  // Has `poller` wait for `watch` on this connection, with `token`; again
  // after a one-shot watch fired. unwatch ends it.
  Outcome watch(events::Poller& poller, Watch watch, std::uint64_t token) noexcept;
  void unwatch(events::Poller& poller, Watch watch) noexcept;
  Outcome reconfigure(const LineSettings& settings, LineOutcome& line) noexcept;
  // Wakes every waiting call, lets running calls leave, then releases the
  // device once. Any thread, any number of times. What is still queued for
  // output may leave while the line keeps moving, for up to `lingerMillis`
  // (0: as long as it moves); what a stopped line holds is discarded, so
  // that close() returns promptly whatever the line is doing.
  void close(int lingerMillis = 0) noexcept;

 private:
  Connection(int fd, int wake, int guardSlot, line::ParityCheck check) noexcept;
  bool enter() noexcept;
  void leave() noexcept;
  // Polls the device for `events` and the wake-up, up to the deadline (0: none).
  // A hang-up or error that poll() reports sets `hangUp`: the next read or
  // write still takes what the device gives, and only then the call ends.
  Outcome await(short events, long long deadline, bool& hangUp) noexcept;
  // One non-blocking read or write: its count, kDone with 0 when it would
  // have to wait, or how the call ended.
  Transfer settle(long result, bool hangUp) noexcept;
  // A failed read's or write's outcome: the device went away for the errors
  // that say so (for good), else kFailed with the errno.
  Outcome transferFailed(int error) noexcept;
  // Any other failed call's outcome: kHungUp only where poll() proves the
  // device gone, else kFailed with the errno.
  Outcome callFailed(int error) noexcept;
  // Runs `call`, a system call that waits in the kernel until a signal, until
  // it succeeds, fails, the deadline passes, close() comes or `stop` is set.
  template <typename Call>
  Outcome interruptibly(long long deadline, Call call,
                        const std::atomic<bool>* stop = nullptr) noexcept;
  // Signals every thread waiting in the kernel; with lock_ held.
  void wakeWaiters() noexcept;
  // Whether poll() says the device hung up, without waiting.
  bool hungUpNow() noexcept;
  // What close() does once no call is inside any more.
  void release(int lingerMillis) noexcept;
  // Lets queued output leave while it keeps leaving, up to lingerMillis.
  void letOutputLeave(int lingerMillis) noexcept;
  // How long `characters` of 11 bits take at the line's rate (9600 where it is unknown).
  long long charactersNanos(int characters) noexcept;
  // The int an ioctl reads, or -1 with `outcome` set.
  int readInt(unsigned long request, Outcome& outcome) noexcept;
  friend class Call;

  int fd_;
  int wake_;       // an eventfd, signalled once by close()
  int guardSlot_;  // the guardian's slot of an exclusive open, else -1
  line::ParityCheck check_;  // how received bytes come: kOff, or kMarked for every setting
  std::atomic<bool> hungUp_{false};
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t idle_ = PTHREAD_COND_INITIALIZER;
  int callers_ = 0;                          // guarded by lock_
  bool closing_ = false;                     // guarded by lock_
  bool closed_ = false;                      // guarded by lock_
  Interruption::Waiter* waiters_ = nullptr;  // guarded by lock_
  std::atomic<bool> closingNow_{false};      // closing_, read without the lock
  std::atomic<bool> modemWaitsStopped_{false};
  std::atomic<bool> breaking_{false};
  int watched_[kWatchKinds] = {-1, -1, -1};  // duplicates of fd_, guarded by lock_
};

// Admits a call while the connection is open, and lets close() know when it left.
class Call {
 public:
  explicit Call(Connection& connection) noexcept
      : connection_(connection), entered_(connection.enter()) {}
  ~Call() {
    if (entered_) connection_.leave();
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  Connection& connection_;
  bool entered_;
};

long long deadlineAfter(int timeoutMillis) noexcept;  // 0 for no limit
long long nowNanos() noexcept;                        // CLOCK_MONOTONIC
timespec later(timespec time, long nanos) noexcept;  // nanos below a second, carried

template <typename Pin, typename Unpin>
Transfer Connection::readInto(size_t max, int timeoutMillis, Pin pin, Unpin unpin) noexcept {
  Call call(*this);
  if (!call.entered()) return {0, {Status::kClosed, 0}};
  if (max == 0) return {0, {Status::kDone, 0}};
  if (hungUp_) return {0, {Status::kHungUp, 0}};
  const long long deadline = deadlineAfter(timeoutMillis);
  for (bool hangUp = false;;) {
    auto memory = pin();
    if (memory == nullptr) return {0, {Status::kFailed, ENOMEM}};
    const Transfer got = settle(::read(fd_, memory, max), hangUp);
    unpin(memory);
    if (got.count > 0 || got.outcome.status != Status::kDone) return got;
    const Outcome waited = await(POLLIN, deadline, hangUp);
    if (waited.status != Status::kDone) return {0, waited};
  }
}

template <typename Pin, typename Unpin>
Transfer Connection::writeFrom(size_t length, int timeoutMillis, Pin pin, Unpin unpin) noexcept {
  Call call(*this);
  if (!call.entered()) return {0, {Status::kClosed, 0}};
  if (hungUp_) return {0, {Status::kHungUp, 0}};
  const long long deadline = deadlineAfter(timeoutMillis);
  size_t done = 0;
  for (bool hangUp = false; done < length;) {
    auto memory = pin();
    if (memory == nullptr) return {done, {Status::kFailed, ENOMEM}};
    const Transfer put = settle(
        ::write(fd_, static_cast<const unsigned char*>(memory) + done, length - done), hangUp);
    unpin(memory);
    if (put.outcome.status != Status::kDone) return {done, put.outcome};
    done += put.count;
    if (put.count == 0) {
      const Outcome waited = await(POLLOUT, deadline, hangUp);
      if (waited.status != Status::kDone) return {done, waited};
    }
  }
  return {done, {Status::kDone, 0}};
}

template <typename Pin, typename Unpin>
Transfer Connection::readNow(size_t max, Pin pin, Unpin unpin) noexcept {
  Call call(*this);
  if (!call.entered()) return {0, {Status::kClosed, 0}};
  if (hungUp_) return {0, {Status::kHungUp, 0}};
  for (bool hangUp = false;; hangUp = true) {
    auto memory = pin();
    if (memory == nullptr) return {0, {Status::kFailed, ENOMEM}};
    const Transfer got = settle(::read(fd_, memory, max), hangUp);
    unpin(memory);
    if (got.count > 0 || got.outcome.status != Status::kDone) return got;
    // Nothing now: a hang-up poll() reports means nothing ever again.
    if (hangUp || !hungUpNow()) return {0, {Status::kWouldBlock, 0}};
  }
}

template <typename Pin, typename Unpin>
Transfer Connection::readUntilIdle(size_t max, int firstTimeoutMillis, long idleMicros, Pin pin,
                                   Unpin unpin) noexcept {
  Transfer first = readInto(max, firstTimeoutMillis, pin, unpin);
  if (first.count == 0) return first;
  Call call(*this);
  if (!call.entered()) return first;
  size_t got = first.count;
  long long lastByte = nowNanos();
  while (got < max) {
    // ppoll, not poll: the silence is timed in microseconds.
    const long long left = lastByte + idleMicros * 1000LL - nowNanos();
    if (left <= 0) break;
    pollfd waits[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    const timespec wait{static_cast<time_t>(left / 1000000000LL),
                        static_cast<long>(left % 1000000000LL)};
    const int ready = ppoll(waits, 2, &wait, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    // Closed or hung up: what came so far is the frame; the next call says so.
    if (waits[1].revents != 0 || (waits[0].revents & POLLIN) == 0) break;
    auto memory = pin();
    if (memory == nullptr) break;
    const ssize_t n = ::read(fd_, static_cast<unsigned char*>(memory) + got, max - got);
    unpin(memory);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    lastByte = nowNanos();
  }
  return {got, {Status::kDone, 0}};
}

template <typename Pin, typename Unpin>
Transfer Connection::writeNow(size_t length, Pin pin, Unpin unpin) noexcept {
  Call call(*this);
  if (!call.entered()) return {0, {Status::kClosed, 0}};
  if (hungUp_) return {0, {Status::kHungUp, 0}};
  auto memory = pin();
  if (memory == nullptr) return {0, {Status::kFailed, ENOMEM}};
  const Transfer put = settle(::write(fd_, memory, length), false);
  unpin(memory);
  if (put.count == 0 && put.outcome.status == Status::kDone) return {0, {Status::kWouldBlock, 0}};
  return put;
}

}  // namespace serialslots::connection
