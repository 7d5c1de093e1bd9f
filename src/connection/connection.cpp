#include "connection/connection.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <utility>

#include "connection/exclusive_guard.h"

namespace serialslots::connection {

long long nowNanos() noexcept {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

timespec later(timespec time, long nanos) noexcept {
  time.tv_nsec += nanos;
  if (time.tv_nsec >= 1000000000L) {
    time.tv_sec += 1;
    time.tv_nsec -= 1000000000L;
  }
  return time;
}

namespace {

// Every driver of the kernel's USB serial core numbers its ttys under this major.
constexpr unsigned kUsbSerialMajor = 188;

// Milliseconds for poll() until the deadline, a remainder rounded up: -1 for
// no deadline, 0 once it has passed.
int millisUntil(long long deadline) noexcept {
  if (deadline == 0) return -1;
  const long long left = deadline - nowNanos();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<long long>((left + 999999) / 1000000, INT_MAX));
}

// A descriptor being opened: closed again unless it is handed on.
class Opening {
 public:
  explicit Opening(int fd) noexcept : fd_(fd) {}
  ~Opening() {
    if (fd_ < 0) return;
    if (guardSlot_ >= 0) {
      ioctl(fd_, TIOCNXCL);
      exclusive::release(guardSlot_);
    }
    ::close(fd_);
  }
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;
  int fd() const noexcept { return fd_; }
  int guardSlot() const noexcept { return guardSlot_; }
  // TIOCEXCL, once the guardian holds a duplicate that clears it if this
  // process ends without closing. Without a guardian the open fails: an
  // exclusivity that could outlive this process is none to promise.
  OpenFailure makeExclusive(int& error) noexcept {
    if (!exclusive::guardianWaived() && (guardSlot_ = exclusive::guard(fd_)) < 0) {
      return OpenFailure::kNoGuardian;
    }
    error = ioctl(fd_, TIOCEXCL) == 0 ? 0 : errno;
    return error == 0 ? OpenFailure::kNone : OpenFailure::kSystem;
  }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
  int guardSlot_ = -1;
};

OpenFailure openFailureOf(int error) noexcept {
  switch (error) {
    case EBUSY:  // another program's TIOCEXCL
      return OpenFailure::kBusy;
    case ENOENT:
      return OpenFailure::kMissing;
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
    case ELOOP:
    // A UART node with no UART behind it opens, then answers EIO.
    case EIO:
      return OpenFailure::kNoDevice;
    case EACCES:
    case EPERM:
      return OpenFailure::kAccessDenied;
    case EISDIR:
    case ENOTTY:
    case EINVAL:
      return OpenFailure::kNotATerminal;
    default:
      return OpenFailure::kSystem;
  }
}

}  // namespace

long long deadlineAfter(int timeoutMillis) noexcept {
  return timeoutMillis > 0 ? nowNanos() + timeoutMillis * 1000000LL : 0;
}

OpenResult Connection::open(const char* path, bool exclusive, const LineSettings& settings,
                            int options) noexcept {
  OpenResult result{nullptr, OpenFailure::kNone, 0, {0, Setting::kNone, settings}};
  Opening device(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (device.fd() < 0) {
    result.error = errno;
    result.failure = openFailureOf(result.error);
    return result;
  }
  if ((result.error = line::checkTerminal(device.fd())) != 0) {
    result.failure = openFailureOf(result.error);
    return result;
  }
  // Locked before any setting is touched: shared opens share, an exclusive one
  // keeps every other flock user out, and TIOCEXCL other openers but root.
  if (flock(device.fd(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    result.error = errno;
    result.failure = errno == EWOULDBLOCK ? OpenFailure::kBusy : OpenFailure::kSystem;
    return result;
  }
  if (exclusive && (result.failure = device.makeExclusive(result.error)) != OpenFailure::kNone) {
    return result;
  }
  const line::ParityCheck check =
      (options & kMarkErrors) != 0 ? line::ParityCheck::kMarked : line::ParityCheck::kOff;
  result.line = line::applyLine(device.fd(), settings, check);
  if (result.line.error != 0 || result.line.refused != Setting::kNone) {
    result.error = result.line.error;
    result.failure = result.line.error != 0 ? OpenFailure::kSystem : OpenFailure::kSettingRefused;
    return result;
  }
  // The open itself has raised DTR and RTS (the kernel does, whatever user
  // space asks); what can be chosen is whether closing drops them again. Each
  // open chooses, since the device keeps the choice for the next one.
  if ((result.error = line::dropModemLinesOnClose(device.fd(), (options & kHoldDtr) == 0)) != 0) {
    result.failure = OpenFailure::kSystem;
    return result;
  }
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    result.error = errno;
    result.failure = OpenFailure::kSystem;
    return result;
  }
  result.connection = new (std::nothrow) Connection(device.fd(), wake, device.guardSlot(), check);
  if (result.connection == nullptr) {
    ::close(wake);
    result.failure = OpenFailure::kNoMemory;
    return result;
  }
  device.release();
  return result;
}

Connection::Connection(int fd, int wake, int guardSlot, line::ParityCheck check) noexcept
    : fd_(fd), wake_(wake), guardSlot_(guardSlot), check_(check) {}

Connection::~Connection() {
  close();
  pthread_cond_destroy(&idle_);
  pthread_mutex_destroy(&lock_);
}

// A call that meets a close, or is ended by one, returns only once the
// device is released: its caller may open the device again at once.
bool Connection::enter() noexcept {
  pthread_mutex_lock(&lock_);
  const bool open = !closing_;
  callers_ += open ? 1 : 0;
  while (closing_ && !closed_) pthread_cond_wait(&idle_, &lock_);
  pthread_mutex_unlock(&lock_);
  return open;
}

void Connection::leave() noexcept {
  pthread_mutex_lock(&lock_);
  if (--callers_ == 0 && closing_) pthread_cond_broadcast(&idle_);
  while (closing_ && !closed_) pthread_cond_wait(&idle_, &lock_);
  pthread_mutex_unlock(&lock_);
}

void Connection::close(int lingerMillis) noexcept {
  pthread_mutex_lock(&lock_);
  if (!closing_) {
    closing_ = true;
    closingNow_ = true;
    // Closing a descriptor does not wake a thread blocked in poll() on it;
    // the eventfd in every poll does. It stays signalled: closing is for good.
    const uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    while (callers_ > 0) {
      // A thread waiting in the kernel is woken by a signal, again and again:
      // one that came just before its call began was lost.
      wakeWaiters();
      timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      const timespec until = later(now, 2000000);
      pthread_cond_timedwait(&idle_, &lock_, &until);
    }
    // No call is inside any more, so no number the kernel may reuse is used
    // again; the rest needs no lock, and other callers find it closed.
    pthread_mutex_unlock(&lock_);
    release(lingerMillis);
    pthread_mutex_lock(&lock_);
    closed_ = true;
    pthread_cond_broadcast(&idle_);
  }
  while (!closed_) pthread_cond_wait(&idle_, &lock_);
  pthread_mutex_unlock(&lock_);
}

void Connection::wakeWaiters() noexcept {
  for (Interruption::Waiter* waiter = waiters_; waiter != nullptr; waiter = waiter->next) {
    Interruption::wake(waiter->thread);
  }
}

bool Connection::hungUpNow() noexcept {
  pollfd device{fd_, 0, 0};
  return poll(&device, 1, 0) > 0 && (device.revents & (POLLHUP | POLLERR)) != 0;
}

void Connection::release(int lingerMillis) noexcept {
  // A line left in break is a dead line.
  if (breaking_) ioctl(fd_, TIOCCBRK);
  for (int& fd : watched_) {
    if (fd >= 0) ::close(std::exchange(fd, -1));
  }
  letOutputLeave(lingerMillis);
  if (guardSlot_ >= 0) {
    ioctl(fd_, TIOCNXCL);
    exclusive::release(guardSlot_);
  }
  flock(fd_, LOCK_UN);
  ::close(wake_);
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
    tcflush(fd_, TCOFLUSH);
    ioctl(fd_, TIOCOUTQ, &queued);
  }
  if (queued <= 0) {
    ::close(fd_);
    return;
  }
  // Bytes a stopped USB adapter holds in flight keep the kernel's close
  // waiting for them (30 s by default); that wait is left to a thread of its own.
  pthread_t closer;
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  const auto closeIt = [](void* fd) -> void* {
    ::close(static_cast<int>(reinterpret_cast<intptr_t>(fd)));
    return nullptr;
  };
  if (pthread_create(&closer, &detached, closeIt, reinterpret_cast<void*>(intptr_t{fd_})) != 0) {
    ::close(fd_);
  }
  pthread_attr_destroy(&detached);
}

long long Connection::charactersNanos(int characters) noexcept {
  LineSettings line{};
  const int baud = line::readLine(fd_, line) == 0 && line.baud > 0 ? line.baud : 9600;
  return characters * 11 * 1000000000LL / baud;
}

void Connection::letOutputLeave(int lingerMillis) noexcept {
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
  // The line has stopped when nothing left for the time 64 characters take
  // (at least 100 ms: USB adapters send in packets, late).
  const long long stillness = std::max(100000000LL, charactersNanos(64));
  const long long end = lingerMillis > 0 ? deadlineAfter(lingerMillis) : 0;
  long long moved = nowNanos();
  for (int left = queued; left > 0;) {
    timespec nap{0, 2000000};
    nanosleep(&nap, nullptr);
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return;
    const long long now = nowNanos();
    if (queued < left) moved = now;
    left = queued;
    if (now - moved > stillness || (end != 0 && now >= end)) return;
  }
}

template <typename Call>
Outcome Connection::interruptibly(long long deadline, Call call,
                                  const std::atomic<bool>* stop) noexcept {
  Interruption::prepare();
  Interruption::Waiter me{pthread_self(), nullptr};
  pthread_mutex_lock(&lock_);
  me.next = waiters_;
  waiters_ = &me;
  pthread_mutex_unlock(&lock_);
  Outcome outcome{Status::kDone, 0};
  {
    const Interruption::Timer timer(deadline);
    for (;;) {
      if (closingNow_ || (stop != nullptr && *stop)) {
        outcome = {Status::kClosed, 0};
      } else if (call() == 0) {
        break;
      } else if (errno != EINTR) {
        outcome = callFailed(errno);
      } else if (deadline != 0 && nowNanos() >= deadline) {
        outcome = {Status::kTimedOut, 0};
      } else {
        continue;
      }
      break;
    }
  }
  pthread_mutex_lock(&lock_);
  Interruption::Waiter** link = &waiters_;
  while (*link != &me) link = &(*link)->next;
  *link = me.next;
  pthread_mutex_unlock(&lock_);
  return outcome;
}

Transfer Connection::settle(long result, bool hangUp) noexcept {
  if (result > 0) return {static_cast<size_t>(result), {Status::kDone, 0}};
  const int error = result < 0 ? errno : 0;
  // With VMIN 0 (any program may set it, the settings are the tty's) read()
  // answers 0 for "nothing yet", so 0 and EAGAIN only mean "wait", unless
  // poll() has just reported a hang-up.
  const bool wouldWait = result == 0 || error == EAGAIN || error == EINTR;
  if (wouldWait && hangUp) return {0, transferFailed(EIO)};
  return {0, wouldWait ? Outcome{Status::kDone, 0} : transferFailed(error)};
}

Outcome Connection::callFailed(int error) noexcept {
  if (error == EIO || error == ENXIO || error == ENODEV) {
    // Proof that the device went away is a hang-up that poll() reports.
    if (hungUp_ || hungUpNow()) {
      hungUp_ = true;
      return {Status::kHungUp, 0};
    }
  }
  return {Status::kFailed, error};
}

Outcome Connection::transferFailed(int error) noexcept {
  // A hung-up tty answers read() and write() with EIO; a removed USB adapter
  // may say ENXIO or ENODEV. None of them recovers. Other calls failing so
  // prove nothing: some USB drivers answer a control transfer with EIO.
  if (error == EIO || error == ENXIO || error == ENODEV) {
    hungUp_ = true;
    return {Status::kHungUp, 0};
  }
  return {Status::kFailed, error};
}

Outcome Connection::await(short events, long long deadline, bool& hangUp) noexcept {
  pollfd waits[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
  for (;;) {
    const int wait = millisUntil(deadline);
    if (wait == 0) return {Status::kTimedOut, 0};
    const int ready = poll(waits, 2, wait);
    if (ready < 0 && errno != EINTR) return {Status::kFailed, errno};
    if (waits[1].revents != 0) return {Status::kClosed, 0};
    hangUp = (waits[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (hangUp || (waits[0].revents & events)) return {Status::kDone, 0};
  }
}

int Connection::readInt(unsigned long request, Outcome& outcome) noexcept {
  Call call(*this);
  int value = 0;
  if (!call.entered()) {
    outcome = {Status::kClosed, 0};
  } else if (ioctl(fd_, request, &value) != 0) {
    outcome = callFailed(errno);
  } else {
    outcome = {Status::kDone, 0};
  }
  return outcome.status == Status::kDone ? value : -1;
}

int Connection::available(Outcome& outcome) noexcept {
  const int waiting = readInt(FIONREAD, outcome);
  if (outcome.status != Status::kHungUp && !(waiting >= 0 && hungUp_)) return waiting;
  // A device that went away has nothing more to give.
  outcome = {Status::kDone, 0};
  return 0;
}

Outcome Connection::drain(int timeoutMillis) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  if (hungUp_) return {Status::kHungUp, 0};
  const long long deadline = deadlineAfter(timeoutMillis);
  for (;;) {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return callFailed(errno);
    if (queued == 0) break;
    // No event marks an emptied queue, so it is watched in short naps that
    // close() cuts short.
    const int wait = millisUntil(deadline);
    if (wait == 0) return {Status::kTimedOut, 0};
    pollfd wake{wake_, POLLIN, 0};
    if (poll(&wake, 1, wait < 0 || wait > 5 ? 5 : wait) > 0) return {Status::kClosed, 0};
  }
  // What is left is in the UART or the adapter, where flow control may hold
  // it for good: tcdrain() waits for it (TCSBRK with 1 is tcdrain), and only
  // a signal ends that wait.
  const Outcome drained = interruptibly(deadline, [this] { return ioctl(fd_, TCSBRK, 1); });
  if (drained.status != Status::kDone) {
    return drained.status == Status::kFailed ? callFailed(drained.error) : drained;
  }
  // The serial core's wait for the transmitter gives up after twice the time
  // its FIFO takes; a UART held by flow control still holds the last bytes.
  // Where the driver tells (TIOCSERGETLSR), wait for the last stop bit, for
  // 256 characters' time more at most (at least a second): a driver that
  // never reports an empty transmitter holds no drain for ever. USB serial
  // drivers have tcdrain() ask the chip itself, without a limit; the status
  // they report here is the last packet's, which may be old.
  struct stat device {};
  if (fstat(fd_, &device) != 0 || major(device.st_rdev) == kUsbSerialMajor) return drained;
  const long long giveUp = nowNanos() + std::max(1000000000LL, charactersNanos(256));
  for (unsigned status = 0; ioctl(fd_, TIOCSERGETLSR, &status) == 0 && !(status & TIOCSER_TEMT) &&
                            nowNanos() < giveUp;) {
    const int wait = millisUntil(deadline);
    if (wait == 0) return {Status::kTimedOut, 0};
    pollfd wake{wake_, POLLIN, 0};
    if (poll(&wake, 1, wait < 0 || wait > 1 ? 1 : wait) > 0) return {Status::kClosed, 0};
  }
  return drained;
}

Outcome Connection::discard(bool input) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  if (tcflush(fd_, input ? TCIFLUSH : TCOFLUSH) != 0) return callFailed(errno);
  return {Status::kDone, 0};
}

Outcome Connection::setBreak(bool on) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  if (ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) return callFailed(errno);
  breaking_ = on;
  return {Status::kDone, 0};
}

Outcome Connection::outputQueued() noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  if (hungUp_) return {Status::kHungUp, 0};
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return callFailed(errno);
  return {queued == 0 ? Status::kDone : Status::kWouldBlock, 0};
}

Outcome Connection::counters(Counters& counts) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  serial_icounter_struct kernel{};
  if (ioctl(fd_, TIOCGICOUNT, &kernel) != 0) return callFailed(errno);
  counts = {kernel.rx,          kernel.tx,  kernel.brk, kernel.frame, kernel.parity, kernel.overrun,
            kernel.buf_overrun, kernel.cts, kernel.dsr, kernel.dcd,   kernel.rng};
  return {Status::kDone, 0};
}

Outcome Connection::setRs485(const line::Rs485* wanted, line::Rs485Outcome& line) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  line = wanted != nullptr ? line::applyRs485(fd_, *wanted) : line::disableRs485(fd_);
  return line.error == 0 ? Outcome{Status::kDone, 0} : callFailed(line.error);
}

Outcome Connection::readRs485(line::Rs485Outcome& line) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  line = line::readRs485(fd_);
  return line.error == 0 ? Outcome{Status::kDone, 0} : callFailed(line.error);
}

// state -1 with kDone: the driver lacks the control, or did not keep it
// (line::setLowLatency's ENOTSUP, which driverLacks counts as EOPNOTSUPP).
static_assert(ENOTSUP == EOPNOTSUPP);
Outcome Connection::setLowLatency(bool wanted, int& state) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  bool on = false;
  const int error = line::setLowLatency(fd_, wanted, on);
  state = error == 0 ? on : -1;
  return error == 0 || line::driverLacks(error) ? Outcome{Status::kDone, 0} : callFailed(error);
}

Outcome Connection::readLowLatency(int& state) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  bool on = false;
  const int error = line::readLowLatency(fd_, on);
  state = error == 0 ? on : -1;
  return error == 0 || line::driverLacks(error) ? Outcome{Status::kDone, 0} : callFailed(error);
}

Outcome Connection::awaitModemChange() noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  // The kernel offers only a blocking wait for modem lines; only a signal
  // ends it early (close() and stopModemWaits() send one).
  const Outcome changed = interruptibly(
      0, [this] { return ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG); },
      &modemWaitsStopped_);
  return changed.status == Status::kFailed ? callFailed(changed.error) : changed;
}

void Connection::stopModemWaits(bool stop) noexcept {
  modemWaitsStopped_ = stop;
  if (!stop) return;
  pthread_mutex_lock(&lock_);
  wakeWaiters();
  pthread_mutex_unlock(&lock_);
}

Outcome Connection::watch(events::Poller& poller, Watch watch, std::uint64_t token) noexcept {
  constexpr std::uint32_t kEvents[kWatchKinds] = {
      EPOLLIN | EPOLLET | EPOLLRDHUP, EPOLLIN | EPOLLONESHOT | EPOLLRDHUP, EPOLLOUT | EPOLLONESHOT};
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  pthread_mutex_lock(&lock_);
  int& fd = watched_[static_cast<int>(watch)];
  const bool added = fd >= 0;
  // A descriptor of its own for each kind: epoll keeps one entry per descriptor.
  if (!added) fd = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  const int error =
      fd < 0 ? errno : poller.watch(fd, token, kEvents[static_cast<int>(watch)], added);
  pthread_mutex_unlock(&lock_);
  return error == 0 ? Outcome{Status::kDone, 0} : Outcome{Status::kFailed, error};
}

void Connection::unwatch(events::Poller& poller, Watch watch) noexcept {
  pthread_mutex_lock(&lock_);
  int& fd = watched_[static_cast<int>(watch)];
  if (fd >= 0) {
    poller.unwatch(fd);
    ::close(std::exchange(fd, -1));
  }
  pthread_mutex_unlock(&lock_);
}

Outcome Connection::setModemLine(ModemLine line, bool on) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  // One bit at a time, so that the other output line keeps its state.
  const int bit = line == kRts ? TIOCM_RTS : TIOCM_DTR;
  if (ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) != 0) return callFailed(errno);
  return {Status::kDone, 0};
}

int Connection::modemLines(Outcome& outcome) noexcept {
  const int bits = readInt(TIOCMGET, outcome);
  if (bits < 0) return -1;
  constexpr std::pair<int, ModemLine> kLines[] = {{TIOCM_CTS, kCts}, {TIOCM_DSR, kDsr},
                                                  {TIOCM_CAR, kDcd}, {TIOCM_RNG, kRi},
                                                  {TIOCM_RTS, kRts}, {TIOCM_DTR, kDtr}};
  int lines = 0;
  for (const auto& [kernel, ours] : kLines) lines |= (bits & kernel) ? ours : 0;
  return lines;
}

Outcome Connection::readSettings(LineSettings& settings) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  const int error = line::readLine(fd_, settings);
  return error == 0 ? Outcome{Status::kDone, 0} : callFailed(error);
}

Outcome Connection::reconfigure(const LineSettings& settings, LineOutcome& line) noexcept {
  Call call(*this);
  if (!call.entered()) return {Status::kClosed, 0};
  line = line::applyLine(fd_, settings, check_);
  return line.error == 0 ? Outcome{Status::kDone, 0} : callFailed(line.error);
}

}  // namespace serialslots::connection
