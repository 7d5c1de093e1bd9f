// The port operations behind the natives, in plain C++: they take C strings,
// work on the slot table and report small outcomes. The JNI shell turns an
// outcome into a Java result or exception.
#pragma once

#include <sys/types.h>

#include "registry/port_table.h"

namespace serialslots::ops {

enum class OpenOutcome {
  kOpened,
  kNoSuchPort,
  kOpenFailed,          // open() failed; the slot holds -1
  kParametersRejected,  // the line settings were refused; the slot holds -1
};

// Opens `name`'s device and programs it from the four line texts. Opens are
// serialised: the texts and the settings record are process-wide. `slot`
// receives the slot found (nullptr for kNoSuchPort).
OpenOutcome openPort(const char* name, const char* baud, const char* size, const char* stop,
                     const char* parityText, PortSlot*& slot) noexcept;

// Writes the one byte to the slot's descriptor, retrying only on EINTR.
// Returns what write() returned: 1, 0, or -1 on failure.
ssize_t writeByte(const PortSlot& slot, unsigned char byte) noexcept;

// Takes at most one waiting byte from the slot without waiting. Returns true
// and sets `byte` when one was taken.
bool readByte(const PortSlot& slot, unsigned char& byte) noexcept;

// Closes the slot's descriptor, if it holds one, and leaves it holding -1, so
// a second close never hits a descriptor the process has reused since.
void closePort(PortSlot& slot) noexcept;

// Whether `devicePath` can be opened read-write right now. Keeps nothing open.
bool canOpen(const char* devicePath) noexcept;

}  // namespace serialslots::ops
