// Sending one byte.
#include <unistd.h>

#include <cerrno>

#include "ops/port_ops.h"

namespace serialslots::ops {

ssize_t writeByte(const PortSlot& slot, unsigned char byte) noexcept {
  const int descriptor = slot.descriptor.load(std::memory_order_relaxed);
  ssize_t written;
  do {
    written = write(descriptor, &byte, 1);
  } while (written < 0 && errno == EINTR);
  return written;
}

}  // namespace serialslots::ops
