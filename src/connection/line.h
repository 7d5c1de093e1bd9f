// Line settings of a connection, applied through termios2 so that any rate
// can be asked for, and read back from the driver to learn what it kept.
// Plain C++ over a descriptor; it knows nothing of Java.
#pragma once

namespace serialslots::connection {

// The orders match the Java enums, whose ordinals cross the bridge.
enum class Parity : int { kNone, kOdd, kEven, kMark, kSpace };
enum class FlowControl : int { kNone, kRtsCts, kXonXoff };

struct LineSettings {
  int baud;
  int dataBits;
  int stopBits;
  Parity parity;
  FlowControl flow;
};

// The setting a driver did not keep; kNone when it kept them all.
enum class Setting : int { kNone, kBaud, kDataBits, kStopBits, kParity, kFlowControl };

struct LineOutcome {
  int error;             // errno of a failed system call, else 0
  Setting refused;       // the first setting the driver did not keep
  LineSettings applied;  // what the driver holds now (valid when error is 0)
};

// Puts the line in raw mode with `wanted` and reads it back. A rate that the
// driver keeps off by more than 2%, or any other setting it changed, refuses
// the whole request and restores the attributes the line had before.
LineOutcome applyLine(int fd, const LineSettings& wanted) noexcept;

// What the driver holds now. Returns 0 or the errno of the failed call.
int readLine(int fd, LineSettings& settings) noexcept;

// Whether the descriptor is a terminal whose attributes can be read: 0, or
// the errno that says why not (ENOTTY for a file or a FIFO).
int checkTerminal(int fd) noexcept;

}  // namespace serialslots::connection
