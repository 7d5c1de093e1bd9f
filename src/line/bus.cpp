// The serial headers come from the kernel, as in line.cpp; no <termios.h>.
#include "line/bus.h"

#include <asm/ioctls.h>
#include <linux/serial.h>

#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace serialslots::line {
namespace {

constexpr unsigned kFlags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND |
                            SER_RS485_RX_DURING_TX | SER_RS485_TERMINATE_BUS;

Rs485 fieldsOf(const serial_rs485& mode) noexcept {
  return {
      (mode.flags & SER_RS485_RTS_ON_SEND) != 0,    (mode.flags & SER_RS485_RTS_AFTER_SEND) != 0,
      static_cast<int>(mode.delay_rts_before_send), static_cast<int>(mode.delay_rts_after_send),
      (mode.flags & SER_RS485_RX_DURING_TX) != 0,   (mode.flags & SER_RS485_TERMINATE_BUS) != 0};
}

Rs485Field firstDifference(const Rs485& wanted, const Rs485& kept) noexcept {
  if (kept.rtsOnSend != wanted.rtsOnSend) return Rs485Field::kRtsOnSend;
  if (kept.rtsAfterSend != wanted.rtsAfterSend) return Rs485Field::kRtsAfterSend;
  if (kept.delayBeforeSendMillis != wanted.delayBeforeSendMillis) {
    return Rs485Field::kDelayBeforeSend;
  }
  if (kept.delayAfterSendMillis != wanted.delayAfterSendMillis) {
    return Rs485Field::kDelayAfterSend;
  }
  if (kept.receiveDuringSend != wanted.receiveDuringSend) return Rs485Field::kReceiveDuringSend;
  if (kept.terminateBus != wanted.terminateBus) return Rs485Field::kTerminateBus;
  return Rs485Field::kNone;
}

Rs485Outcome outcomeOf(const serial_rs485& mode) noexcept {
  return {0, Rs485Field::kNone, (mode.flags & SER_RS485_ENABLED) != 0, fieldsOf(mode)};
}

Rs485Outcome failure(int error) noexcept {
  if (driverLacks(error)) return {0, Rs485Field::kMode, false, {}};
  return {error, Rs485Field::kNone, false, {}};
}

// Sets `mode` and reads back what the driver holds.
Rs485Outcome setRs485(int fd, serial_rs485 mode) noexcept {
  if (ioctl(fd, TIOCSRS485, &mode) != 0) return failure(errno);
  serial_rs485 kept{};
  if (ioctl(fd, TIOCGRS485, &kept) != 0) return failure(errno);
  return outcomeOf(kept);
}

}  // namespace

bool driverLacks(int error) noexcept {
  return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS;
}

Rs485Outcome readRs485(int fd) noexcept {
  serial_rs485 mode{};
  if (ioctl(fd, TIOCGRS485, &mode) != 0) return failure(errno);
  return outcomeOf(mode);
}

Rs485Outcome applyRs485(int fd, const Rs485& wanted) noexcept {
  serial_rs485 before{};
  if (ioctl(fd, TIOCGRS485, &before) != 0) return failure(errno);
  serial_rs485 mode = before;
  mode.flags = (before.flags & ~kFlags) | SER_RS485_ENABLED |
               (wanted.rtsOnSend ? SER_RS485_RTS_ON_SEND : 0) |
               (wanted.rtsAfterSend ? SER_RS485_RTS_AFTER_SEND : 0) |
               (wanted.receiveDuringSend ? SER_RS485_RX_DURING_TX : 0) |
               (wanted.terminateBus ? SER_RS485_TERMINATE_BUS : 0);
  mode.delay_rts_before_send = static_cast<__u32>(wanted.delayBeforeSendMillis);
  mode.delay_rts_after_send = static_cast<__u32>(wanted.delayAfterSendMillis);
  Rs485Outcome outcome = setRs485(fd, mode);
  if (outcome.error == 0 && outcome.refused == Rs485Field::kNone) {
    outcome.refused = outcome.enabled ? firstDifference(wanted, outcome.kept) : Rs485Field::kMode;
  }
  if (outcome.error != 0 || outcome.refused != Rs485Field::kNone) {
    // `kept` stays what the driver offered, for the refusal to name it.
    outcome.enabled = setRs485(fd, before).enabled;
  }
  return outcome;
}

Rs485Outcome disableRs485(int fd) noexcept {
  serial_rs485 mode{};
  if (ioctl(fd, TIOCGRS485, &mode) != 0) return failure(errno);
  if ((mode.flags & SER_RS485_ENABLED) == 0) return outcomeOf(mode);
  mode.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
  return setRs485(fd, mode);
}

int readLowLatency(int fd, bool& on) noexcept {
  serial_struct port{};
  if (ioctl(fd, TIOCGSERIAL, &port) != 0) return errno;
  on = (static_cast<unsigned>(port.flags) & ASYNC_LOW_LATENCY) != 0;
  return 0;
}

int setLowLatency(int fd, bool wanted, bool& on) noexcept {
  serial_struct port{};
  if (ioctl(fd, TIOCGSERIAL, &port) != 0) return errno;
  // Only this flag changes: what else the structure holds goes back as it came.
  const unsigned flags = static_cast<unsigned>(port.flags);
  port.flags = static_cast<int>(wanted ? flags | ASYNC_LOW_LATENCY : flags & ~ASYNC_LOW_LATENCY);
  if (ioctl(fd, TIOCSSERIAL, &port) != 0) return errno;
  if (const int error = readLowLatency(fd, on); error != 0) return error;
  return on == wanted ? 0 : ENOTSUP;
}

}  // namespace serialslots::line
