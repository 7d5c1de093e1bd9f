// Every text the one-byte API (core.SerialPort) hands to Java: its exception
// messages and its probe's answers. Slot messages are built from the slot's
// own name and device path. The connection API's natives answer codes only;
// its texts are Java's (serialslots.Failures), but for the system's own text
// of an errno.
#pragma once

#include "registry/port_table.h"

namespace serialslots::messages {

inline constexpr char kNoSuchPort[] = "Serial port does not exits.";
inline constexpr char kCannotRead[] = "Can not be read serial port.";
inline constexpr char kNullData[] = "The data string is null.";
// What getStateSerialPortC answers.
inline constexpr char kFree[] = "free";
inline constexpr char kBusy[] = "busy";

// A message made for one slot; fits the longest of them with room to spare.
struct SlotMessage {
  char text[96];
};

// "Error setting serial port COM3 = /dev/ttyS3."
SlotMessage openFailed(const PortSlot& slot) noexcept;
// "Error set parameters COM0 = /dev/ttyS0." for COM0 and COMUSB0 alone,
// the bare "Error set parameters." for the other 80 slots.
SlotMessage parametersRejected(const PortSlot& slot) noexcept;
// "Can not be write serial port COM3 = /dev/ttyS3."
SlotMessage writeFailed(const PortSlot& slot) noexcept;

}  // namespace serialslots::messages
