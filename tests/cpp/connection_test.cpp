// The connection's handling of what neither pseudo-terminals nor the hardware
// lab's emulated UARTs can show, against a stand-in driver at the ioctl
// boundary: a break cut short by close, the 2% edge of a driver's rate, a
// driver that drops a setting or fails a call, and output that flow control
// has stopped for good.
#include "connection/connection.h"

#include <asm/termios.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <map>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;
extern "C" int __real_ioctl(int fd, unsigned long request, void* argument);
extern "C" int __wrap_ioctl(int fd, unsigned long request, ...);

namespace {

// While armed: answers for break itself; keeps another rate when asked for
// `asked`, as a UART whose clock cannot make it does; drops c_cflag bits;
// fails requests with an errno; and holds output that never leaves.
struct StandInDriver {
  bool armed = false;
  std::vector<std::pair<unsigned long, int>> seen;  // break requests
  speed_t asked = 0;
  tcflag_t keptCode = 0;
  speed_t kept = 0;
  bool withoutTermios2 = false;          // as an old kernel or qemu-user
  tcflag_t dropped = 0;                  // c_cflag bits a TCSETS2 loses
  std::map<unsigned long, int> failing;  // request: errno
  int queued = 0;                        // bytes TIOCOUTQ reports for ever; atomic: set while a drain waits
  bool transmitterStuck = false;         // tcdrain waits for a signal
  int busyBeforeStuckMillis = 0;         // first: runs that long, so a signal comes before the wait
  // TIOCSERGETLSR: not empty that many times, then empty; -1: the driver has no such request.
  int transmitterBusyAsks = -1;
  int transmitterAsks = 0;
  // RS-485, as serial_core sanitizes it: delays clamped, flags it lacks dropped.
  bool rs485 = false;
  serial_rs485 rs485Mode{};
  unsigned rs485Lacks = 0;
} driver;

}  // namespace

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (driver.armed) {
    if (driver.withoutTermios2 && (request == TCGETS2 || request == TCSETS2)) {
      errno = ENOTTY;
      return -1;
    }
    if (const auto failing = driver.failing.find(request); failing != driver.failing.end()) {
      errno = failing->second;
      return -1;
    }
    switch (request) {
      case TIOCSBRK:  // no argument
      case TIOCCBRK:
        driver.seen.emplace_back(request, 0);
        return 0;
      case TIOCOUTQ:
        if (__atomic_load_n(&driver.queued, __ATOMIC_SEQ_CST) == 0) break;
        *static_cast<int*>(argument) = __atomic_load_n(&driver.queued, __ATOMIC_SEQ_CST);
        return 0;
      case TIOCSERGETLSR:
        if (driver.transmitterBusyAsks < 0) break;
        ++driver.transmitterAsks;
        *static_cast<unsigned*>(argument) =
            driver.transmitterBusyAsks > 0 && driver.transmitterBusyAsks-- > 0 ? 0 : TIOCSER_TEMT;
        return 0;
      case TCSBRK:
        if (!driver.transmitterStuck) break;
        for (const auto until = std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(driver.busyBeforeStuckMillis);
             std::chrono::steady_clock::now() < until;) {
        }
        pause();  // until a signal
        errno = EINTR;
        return -1;
      case TIOCGRS485:
      case TIOCSRS485: {
        if (!driver.rs485) break;
        auto* mode = static_cast<serial_rs485*>(argument);
        if (request == TIOCSRS485) {
          driver.rs485Mode = *mode;
          driver.rs485Mode.flags &= ~driver.rs485Lacks;
          for (__u32* delay :
               {&driver.rs485Mode.delay_rts_before_send, &driver.rs485Mode.delay_rts_after_send}) {
            *delay = std::min<__u32>(*delay, 100);
          }
        }
        *mode = driver.rs485Mode;
        return 0;
      }
      case TCSETS:  // without termios2: the same flags first
        static_cast<termios*>(argument)->c_cflag &= ~driver.dropped;
        break;
      case TCSETS2: {
        termios2 line = *static_cast<termios2*>(argument);
        line.c_cflag &= ~driver.dropped;
        if (line.c_ospeed == driver.asked) {
          line.c_cflag = (line.c_cflag & ~tcflag_t{CBAUD}) | driver.keptCode;
          line.c_ispeed = line.c_ospeed = driver.kept;
        }
        return __real_ioctl(fd, request, &line);
      }
    }
  }
  return __real_ioctl(fd, request, argument);
}

namespace serialslots::connection {
namespace {

class ConnectionOnAStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_) | unlockpt(master_), 0);
    const OpenResult opened =
        Connection::open(ptsname(master_), true, {9600, 8, 1, Parity::kNone, FlowControl::kNone});
    ASSERT_EQ(opened.failure, OpenFailure::kNone);
    connection_ = opened.connection;
    driver = StandInDriver{};
    driver.armed = true;
  }
  void TearDown() override {
    driver.armed = false;
    delete connection_;
    if (master_ >= 0) close(master_);
  }
  int master_ = -1;
  Connection* connection_ = nullptr;
};

TEST_F(ConnectionOnAStandIn, ARawLineClearsEveryInputTranslationTheDeviceHadSet) {
  driver.armed = false;
  termios line;
  ASSERT_EQ(ioctl(master_, TCGETS, &line), 0);
  const tcflag_t translations = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                IXON | IXOFF | IXANY | INPCK;
  line.c_iflag |= translations;
  ASSERT_EQ(ioctl(master_, TCSETS, &line), 0);
  LineOutcome applied{};
  ASSERT_EQ(
      connection_->reconfigure({9600, 8, 1, Parity::kNone, FlowControl::kNone}, applied).status,
      Status::kDone);
  ASSERT_EQ(ioctl(master_, TCGETS, &line), 0);
  EXPECT_EQ(line.c_iflag & translations, 0u);
}

TEST_F(ConnectionOnAStandIn, AReadWaitsThroughASignalAndVminZeroAndEndsOnlyAtAHangUp) {
  driver.armed = false;
  // Another program with the same tty open: read() now answers 0 for "nothing yet".
  const int other = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios line;
  ASSERT_EQ(ioctl(other, TCGETS, &line), 0);
  line.c_cc[VMIN] = 0;
  ASSERT_EQ(ioctl(other, TCSETS, &line), 0);
  char byte = 0;
  EXPECT_EQ(connection_->read(&byte, 1, 50).outcome.status, Status::kTimedOut);
  // A signal to the waiting thread (a profiler's, say) interrupts its poll().
  struct sigaction nothing {};
  nothing.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &nothing, nullptr), 0);
  Transfer got{};
  std::thread reader([&] { got = connection_->read(&byte, 1, 1000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  pthread_kill(reader.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(write(master_, "z", 1), 1);
  reader.join();
  EXPECT_EQ(std::make_pair(got.count, byte), std::make_pair(size_t{1}, 'z'));
  close(std::exchange(master_, -1));
  EXPECT_EQ(connection_->read(&byte, 1, 1000).outcome.status, Status::kHungUp);
  close(other);
}

TEST_F(ConnectionOnAStandIn, CloseWakesAWaitingReaderAndWriterAndLaterCallsFindItClosed) {
  driver.armed = false;
  std::vector<char> lots(1 << 20);  // more than a pty holds while its far end reads nothing
  Transfer got{}, put{};
  std::thread reader([&] { got = connection_->read(lots.data(), 1, 0); });
  std::thread writer([&] { put = connection_->write(lots.data(), lots.size(), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  connection_->close();
  reader.join();
  writer.join();
  EXPECT_EQ(got.outcome.status, Status::kClosed);
  EXPECT_EQ(put.outcome.status, Status::kClosed);
  EXPECT_LT(put.count, lots.size());
  const Transfer after = connection_->write(lots.data(), 1, 0);
  EXPECT_EQ(std::make_pair(after.count, after.outcome.status),
            std::make_pair(size_t{0}, Status::kClosed));
}

TEST_F(ConnectionOnAStandIn, ABreakStillGoingIsEndedByClose) {
  EXPECT_EQ(connection_->setBreak(true).status, Status::kDone);
  EXPECT_EQ(connection_->setBreak(false).status, Status::kDone);
  EXPECT_EQ(connection_->setBreak(true).status, Status::kDone);
  connection_->close();
  const std::vector<std::pair<unsigned long, int>> expected = {
      {TIOCSBRK, 0}, {TIOCCBRK, 0}, {TIOCSBRK, 0}, {TIOCCBRK, 0}};
  EXPECT_EQ(driver.seen, expected);
}

TEST_F(ConnectionOnAStandIn, ARateOffByMoreThanTwoPercentIsRefusedAndTheLineLeftAsItWas) {
  termios2 current{};
  if (__real_ioctl(master_, TCGETS2, &current) != 0) GTEST_SKIP() << "no termios2 here (qemu-user)";
  struct Case {
    speed_t asked;
    tcflag_t keptCode;
    speed_t kept;
    Setting refused;
    int reads;
  };
  const Case cases[] = {
      {250000, BOTHER, 240000, Setting::kBaud, 9600},
      {1000000, BOTHER, 990000, Setting::kNone, 990000},
      {1000000, BOTHER, 1030000, Setting::kBaud, 9600},
      {460800, B9600, 9600, Setting::kBaud, 9600},
      {31250, BOTHER, 31250, Setting::kNone, 31250},
      {1000000, BOTHER, 980000, Setting::kNone, 980000},  // 2% off exactly
      {1000000, BOTHER, 979999, Setting::kBaud, 9600},
  };
  for (const Case& c : cases) {
    LineOutcome line{};
    driver.asked = 0;
    ASSERT_EQ(
        connection_->reconfigure({9600, 8, 1, Parity::kNone, FlowControl::kNone}, line).status,
        Status::kDone);
    driver.asked = c.asked;
    driver.keptCode = c.keptCode;
    driver.kept = c.kept;
    const int asked = static_cast<int>(c.asked);
    EXPECT_EQ(
        connection_->reconfigure({asked, 8, 2, Parity::kNone, FlowControl::kNone}, line).status,
        Status::kDone);
    EXPECT_EQ(line.refused, c.refused) << c.asked;
    LineSettings now{};
    connection_->readSettings(now);
    EXPECT_EQ(now.baud, c.reads) << c.asked;
    EXPECT_EQ(now.stopBits, c.refused == Setting::kNone ? 2 : 1)
        << "the line was not left as it was";
  }
}

TEST_F(ConnectionOnAStandIn, WithoutTermios2EveryClassicRateStillAppliesAndOthersAreRefused) {
  termios2 current{};
  if (__real_ioctl(master_, TCGETS2, &current) != 0)
    GTEST_SKIP() << "qemu-user loses the fast rates";
  driver.withoutTermios2 = true;
  LineOutcome line{};
  for (int baud : {50,      75,      110,     134,     150,     200,     300,     600,
                   1200,    1800,    2400,    4800,    9600,    19200,   38400,   57600,
                   115200,  230400,  460800,  500000,  576000,  921600,  1000000, 1152000,
                   1500000, 2000000, 2500000, 3000000, 3500000, 4000000, 115200}) {
    EXPECT_EQ(
        connection_->reconfigure({baud, 8, 2, Parity::kNone, FlowControl::kNone}, line).status,
        Status::kDone);
    EXPECT_EQ(line.refused, Setting::kNone) << baud;
  }
  EXPECT_EQ(
      connection_->reconfigure({250000, 8, 1, Parity::kNone, FlowControl::kNone}, line).status,
      Status::kDone);
  EXPECT_EQ(line.refused, Setting::kBaud);
  LineSettings now{};
  ASSERT_EQ(connection_->readSettings(now).status, Status::kDone);
  EXPECT_EQ(std::make_pair(now.baud, now.stopBits), std::make_pair(115200, 2));
  // The control characters go along: VMIN 1 for reads, ^Q and ^S for XON/XOFF.
  termios plain;
  ASSERT_EQ(__real_ioctl(master_, TCGETS, &plain), 0);
  EXPECT_EQ(std::make_pair(plain.c_cc[VMIN], plain.c_cc[VSTART]),
            std::make_pair(cc_t{1}, cc_t{021}));
}

// close() waits for its callers in 2 ms steps of the wall clock: a step that
// carried a second too many would stall a close for that long.
TEST(Later, CarriesAWholeSecondExactlyAtItsEdge) {
  const struct {
    timespec from;
    long nanos;
    timespec expected;
  } rows[] = {
      {{1, 997999999}, 2000000, {1, 999999999}},
      {{1, 998000000}, 2000000, {2, 0}},
      {{1, 999999999}, 2000000, {2, 1999999}},
  };
  for (const auto& row : rows) {
    const timespec got = serialslots::connection::later(row.from, row.nanos);
    EXPECT_EQ(std::make_pair(got.tv_sec, got.tv_nsec),
              std::make_pair(row.expected.tv_sec, row.expected.tv_nsec))
        << row.from.tv_sec << "." << row.from.tv_nsec;
  }
}

TEST_F(ConnectionOnAStandIn, OutputThatFlowControlStoppedForGoodHangsNeitherDrainNorClose) {
  using std::chrono::milliseconds;
  const auto since = [](auto start) { return std::chrono::steady_clock::now() - start; };
  driver.transmitterStuck = true;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection_->drain(50).status, Status::kTimedOut);
  EXPECT_GE(since(start), milliseconds(50));
  EXPECT_LT(since(start), milliseconds(1000));
  // The deadline's signal came before tcdrain() began: the next one ends it.
  driver.busyBeforeStuckMillis = 80;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(connection_->drain(50).status, Status::kTimedOut);
  EXPECT_LT(since(start), milliseconds(500));
  driver.busyBeforeStuckMillis = 0;
  Outcome drained{};
  std::thread drainer([&] { drained = connection_->drain(0); });
  std::this_thread::sleep_for(milliseconds(50));
  __atomic_store_n(&driver.queued, 4096, __ATOMIC_SEQ_CST);  // and nothing of the queue ever leaves
  start = std::chrono::steady_clock::now();
  connection_->close();
  drainer.join();
  EXPECT_EQ(drained.status, Status::kClosed);
  EXPECT_LT(since(start), milliseconds(1000));
}

TEST_F(ConnectionOnAStandIn, DrainWaitsForTheLastStopBitWhereTheDriverTellsOfIt) {
  using std::chrono::milliseconds;
  struct Row {
    int busyAsks;  // -1: the driver has no TIOCSERGETLSR
    int timeoutMillis;
    Status ended;
    int asks;
    milliseconds atLeast;
  };
  const Row rows[] = {
      {-1, 0, Status::kDone, 0, milliseconds(0)},
      {0, 0, Status::kDone, 1, milliseconds(0)},
      {5, 0, Status::kDone, 6, milliseconds(5)},
      {1 << 30, 50, Status::kTimedOut, 2, milliseconds(50)},
      // A driver that never tells of an empty transmitter: given up after a second at 9600 baud.
      {1 << 30, 0, Status::kDone, 2, milliseconds(1000)},
  };
  for (const Row& row : rows) {
    driver.transmitterBusyAsks = row.busyAsks;
    driver.transmitterAsks = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(connection_->drain(row.timeoutMillis).status, row.ended) << row.busyAsks;
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, row.atLeast) << row.busyAsks;
    EXPECT_LT(took, row.atLeast + milliseconds(1000)) << row.busyAsks;
    if (row.busyAsks < (1 << 30)) {
      EXPECT_EQ(driver.transmitterAsks, row.asks) << row.busyAsks;
    } else {
      EXPECT_GE(driver.transmitterAsks, row.asks) << row.busyAsks;
    }
  }
}

TEST_F(ConnectionOnAStandIn, ADriverThatFailsACallOrDropsASettingLeavesTheConnectionWorking) {
  driver.failing[TIOCMBIS] = EIO;  // as some USB drivers answer a control transfer
  EXPECT_EQ(connection_->setModemLine(kRts, true).status, Status::kFailed);
  ASSERT_EQ(write(master_, "k", 1), 1);
  char byte = 0;
  EXPECT_EQ(connection_->read(&byte, 1, 1000).count, size_t{1});
  driver.dropped = CSTOPB;
  LineOutcome line{};
  EXPECT_EQ(connection_->reconfigure({9600, 8, 2, Parity::kNone, FlowControl::kNone}, line).status,
            Status::kDone);
  EXPECT_EQ(line.refused, Setting::kStopBits);
  // An open whose settings the driver refuses with an errno says which.
  driver.failing[TCSETS2] = EPERM;
  const int other = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(grantpt(other) | unlockpt(other), 0);
  const OpenResult refused =
      Connection::open(ptsname(other), false, {9600, 8, 1, Parity::kNone, FlowControl::kNone});
  EXPECT_EQ(std::make_pair(refused.failure, refused.error),
            std::make_pair(OpenFailure::kSystem, EPERM));
  EXPECT_EQ(refused.connection, nullptr);
  close(other);
}

TEST_F(ConnectionOnAStandIn, Rs485IsReadBackAndWhatTheDriverDidNotKeepIsRefusedAndUndone) {
  using line::Rs485;
  using line::Rs485Field;
  struct Case {
    bool supported;
    unsigned lacks;
    Rs485 wanted;
    Rs485Field refused;
  };
  const Case cases[] = {
      {true, 0, {true, false, 0, 0, false, false}, Rs485Field::kNone},
      {true, 0, {false, true, 30, 40, true, true}, Rs485Field::kNone},
      {true, 0, {true, false, 200, 0, false, false}, Rs485Field::kDelayBeforeSend},
      {true, 0, {true, false, 0, 101, false, false}, Rs485Field::kDelayAfterSend},
      {true, SER_RS485_TERMINATE_BUS, {true, false, 0, 0, false, true}, Rs485Field::kTerminateBus},
      {true,
       SER_RS485_RX_DURING_TX,
       {true, false, 0, 0, true, false},
       Rs485Field::kReceiveDuringSend},
      {true,
       SER_RS485_RTS_AFTER_SEND,
       {false, true, 0, 0, false, false},
       Rs485Field::kRtsAfterSend},
      {false, 0, {true, false, 0, 0, false, false}, Rs485Field::kMode},
  };
  for (const Case& c : cases) {
    driver.rs485 = c.supported;
    for (const auto request :
         {static_cast<unsigned long>(TIOCGRS485), static_cast<unsigned long>(TIOCSRS485)}) {
      // serial_core's answer without the mode (the pty's own differs under qemu-user)
      if (c.supported) {
        driver.failing.erase(request);
      } else {
        driver.failing[request] = ENOTTY;
      }
    }
    driver.rs485Mode = {};
    driver.rs485Lacks = c.lacks;
    line::Rs485Outcome got{};
    ASSERT_EQ(connection_->setRs485(&c.wanted, got).status, Status::kDone);
    EXPECT_EQ(got.refused, c.refused) << static_cast<int>(c.refused);
    if (c.refused == Rs485Field::kDelayBeforeSend) {
      EXPECT_EQ(got.kept.delayBeforeSendMillis, 100) << "the refusal names what was restored";
    }
    line::Rs485Outcome now{};
    ASSERT_EQ(connection_->readRs485(now).status, Status::kDone);
    const bool kept = c.refused == Rs485Field::kNone;
    EXPECT_EQ(now.enabled, kept) << "refused, yet the mode stayed on";
    if (kept) {
      EXPECT_EQ(std::make_tuple(now.kept.rtsOnSend, now.kept.rtsAfterSend,
                                now.kept.delayBeforeSendMillis, now.kept.delayAfterSendMillis,
                                now.kept.receiveDuringSend, now.kept.terminateBus),
                std::make_tuple(c.wanted.rtsOnSend, c.wanted.rtsAfterSend,
                                c.wanted.delayBeforeSendMillis, c.wanted.delayAfterSendMillis,
                                c.wanted.receiveDuringSend, c.wanted.terminateBus));
      ASSERT_EQ(connection_->setRs485(nullptr, got).status, Status::kDone);
      EXPECT_FALSE(got.enabled);
    }
  }
}

}  // namespace
}  // namespace serialslots::connection
