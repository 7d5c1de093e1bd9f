// A line's settings, for both APIs: raw mode, framing and any rate, applied
// through termios2 in one call and read back from the driver to learn what it
// kept. Plain C++ over a descriptor; it knows nothing of Java.
//
// termios2 comes from the kernel's headers, which clash with <termios.h>: this
// header names it without including either, and only files that include no
// <termios.h> (line.cpp, start_port.cpp) look inside it.
#pragma once

struct termios2;

namespace serialslots::line {

// The codes cross the bridge: each is checked against the Java constant.
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

// Which input checks raw mode turns off besides the translations.
enum class ParityCheck {
  // Bytes come exactly as received: a byte with a parity error is passed on.
  kOff,
  // INPCK stays as the device had it: the one-byte API's settings leave every
  // input flag alone that does not alter a correctly received byte.
  kAsTheDeviceHadIt,
  // Each bad byte comes marked where it arrived (PARMRK: \377 \0 X, a break
  // \377 \0 \0) and a received \377 doubled, for a reader that takes them apart.
  kMarked,
};

// The device's attributes, through termios2 where the kernel has it and plain
// termios where it has not (old kernels, qemu-user). Return 0 or the errno.
int getAttributes(int fd, termios2& attributes) noexcept;
int setAttributes(int fd, const termios2& attributes) noexcept;

// Raw, byte-at-a-time: no canonical input, echo or signals, no translation of
// input or output, VMIN 1 and VTIME 0, the receiver on and modem lines ignored.
void makeRaw(termios2& attributes, ParityCheck check) noexcept;
// The CSIZE bits of 5 to 8 data bits.
unsigned sizeBits(int dataBits) noexcept;
// Both directions at `baud`: as the rate's own code where it has one, else as
// BOTHER with the number itself.
void setRate(termios2& attributes, int baud) noexcept;
// The rate the attributes carry, 0 when unknown.
int rateOf(const termios2& attributes) noexcept;

// Puts the line in raw mode with `wanted` and reads it back. A rate that the
// driver keeps off by more than 2%, or any other setting it changed, refuses
// the whole request and restores the attributes the line had before.
LineOutcome applyLine(int fd, const LineSettings& wanted,
                      ParityCheck check = ParityCheck::kOff) noexcept;

// HUPCL on or off: whether the last close drops DTR and RTS or leaves them
// as they are. Returns 0 or the errno.
int dropModemLinesOnClose(int fd, bool drop) noexcept;

// What the driver holds now. Returns 0 or the errno of the failed call.
int readLine(int fd, LineSettings& settings) noexcept;

// Whether the descriptor is a terminal whose attributes can be read: 0, or
// the errno that says why not (ENOTTY for a file or a FIFO).
int checkTerminal(int fd) noexcept;

// The rate the line really runs at: for a 16550-style UART the one its whole
// divisor makes, which its driver does not report; else `reported`.
int madeRate(int fd, int reported) noexcept;

}  // namespace serialslots::line
