// What field buses need of a line beyond its settings: RS-485, where the
// driver switches the transceiver while the UART sends, and low latency,
// where a USB adapter hands on what it received at once. Each is set, then
// read back: the kernel silently drops flags a driver cannot do and clamps
// delays, so what it did not keep is refused and the line left as it was.
#pragma once

namespace serialslots::line {

struct Rs485 {
  bool rtsOnSend;
  bool rtsAfterSend;
  int delayBeforeSendMillis;
  int delayAfterSendMillis;
  bool receiveDuringSend;
  bool terminateBus;
};

// The RS-485 field a driver did not keep; kNone when it kept them all, kMode
// when it has no RS-485 mode at all.
enum class Rs485Field : int {
  kNone,
  kMode,
  kRtsOnSend,
  kRtsAfterSend,
  kDelayBeforeSend,
  kDelayAfterSend,
  kReceiveDuringSend,
  kTerminateBus,
};

struct Rs485Outcome {
  int error;           // errno of a failed call, else 0
  Rs485Field refused;  // the first field not kept
  bool enabled;        // the driver holds RS-485 mode now
  Rs485 kept;          // what the driver holds now; after a refusal, what it would have given
};

// Whether an ioctl's error says the driver has no such request: serial_core's
// ENOTTY, other drivers' EINVAL or EOPNOTSUPP, and the ENOSYS of emulators and
// sandboxes that lack the request.
bool driverLacks(int error) noexcept;

// Turns RS-485 mode on with `wanted` and reads it back; a field the driver
// did not keep, or a driver without the mode, leaves the line as it was.
Rs485Outcome applyRs485(int fd, const Rs485& wanted) noexcept;
// Turns RS-485 mode off.
Rs485Outcome disableRs485(int fd) noexcept;
// What the driver holds; a driver without the mode answers kMode refused.
Rs485Outcome readRs485(int fd) noexcept;

// Low latency (ASYNC_LOW_LATENCY: an FTDI adapter's 1 ms latency timer
// instead of 16 ms): 0 when set and kept, else the errno; ENOTSUP when the
// driver did not keep it. `on` receives the state read back.
int setLowLatency(int fd, bool wanted, bool& on) noexcept;
int readLowLatency(int fd, bool& on) noexcept;

}  // namespace serialslots::line
