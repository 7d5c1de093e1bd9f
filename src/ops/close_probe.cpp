// Closing a slot and probing whether a device path can be opened.
#include <fcntl.h>
#include <unistd.h>

#include "ops/port_ops.h"

namespace serialslots::ops {

void closePort(PortSlot& slot) noexcept {
  const int descriptor = slot.descriptor.exchange(-1, std::memory_order_relaxed);
  // Never retry close(): on Linux the descriptor is gone even when it says EINTR.
  if (descriptor >= 0) close(descriptor);
}

bool canOpen(const char* devicePath) noexcept {
  if (devicePath == nullptr) return false;
  const int descriptor = open(devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (descriptor < 0) return false;
  close(descriptor);
  return true;
}

}  // namespace serialslots::ops
