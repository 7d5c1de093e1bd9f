// Taking one received byte without waiting.
#include <unistd.h>

#include <cerrno>

#include "ops/port_ops.h"

namespace serialslots::ops {

bool readByte(const PortSlot& slot, unsigned char& byte) noexcept {
  const int descriptor = slot.descriptor.load(std::memory_order_relaxed);
  // -1 (never opened, failed or closed) answers EBADF at once; a hung-up tty
  // answers EIO, and an empty queue EAGAIN: all of them are "no byte".
  ssize_t got;
  do {
    got = read(descriptor, &byte, 1);
  } while (got < 0 && errno == EINTR);
  return got == 1;
}

}  // namespace serialslots::ops
