// The one-byte API's port operations: a slot's descriptor opened and
// programmed, one byte in or out without waiting, closed; and the probe.
#include "ops/port_ops.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>

#include "line/start_port.h"

namespace serialslots::ops {
namespace {

// The parameter texts and `options` are single process-wide variables, so two
// opens at once would program each other's settings. A plain pthread mutex:
// std::mutex reports failure by throwing, and nothing here may throw.
pthread_mutex_t openLock = PTHREAD_MUTEX_INITIALIZER;

class OpenLockGuard {
 public:
  OpenLockGuard() noexcept { pthread_mutex_lock(&openLock); }
  ~OpenLockGuard() { pthread_mutex_unlock(&openLock); }
  OpenLockGuard(const OpenLockGuard&) = delete;
  OpenLockGuard& operator=(const OpenLockGuard&) = delete;
};

// The texts point into strings the caller releases after the open.
struct ParameterTexts {
  ParameterTexts(const char* name, const char* baud, const char* size, const char* stop,
                 const char* parityText) noexcept {
    port = name;
    baudRate = baud;
    byteSize = size;
    stopBits = stop;
    parity = parityText;
  }
  ~ParameterTexts() { port = baudRate = byteSize = stopBits = parity = nullptr; }
  ParameterTexts(const ParameterTexts&) = delete;
  ParameterTexts& operator=(const ParameterTexts&) = delete;
};

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK;

}  // namespace

OpenOutcome openPort(const char* name, const char* baud, const char* size, const char* stop,
                     const char* parityText, PortSlot*& slot) noexcept {
  OpenLockGuard guard;
  ParameterTexts texts(name, baud, size, stop, parityText);

  slot = findPort(port);
  if (slot == nullptr) return OpenOutcome::kNoSuchPort;

  const int descriptor = open(slot->devicePath, kOpenFlags);
  // A descriptor still held from an earlier open would otherwise be lost; it
  // stays open until the new open has returned, so the device never drops.
  const int earlier = slot->descriptor.exchange(descriptor, std::memory_order_relaxed);
  if (earlier >= 0) close(earlier);
  if (descriptor < 0) return OpenOutcome::kOpenFailed;

  if (startPort(descriptor) > kLastAcceptedCode) {
    slot->descriptor.store(-1, std::memory_order_relaxed);
    close(descriptor);
    return OpenOutcome::kParametersRejected;
  }
  return OpenOutcome::kOpened;
}

void closePort(PortSlot& slot) noexcept {
  const int descriptor = slot.descriptor.exchange(-1, std::memory_order_relaxed);
  // Never retry close(): on Linux the descriptor is gone even when it says EINTR.
  if (descriptor >= 0) close(descriptor);
}

bool canOpen(const char* devicePath) noexcept {
  if (devicePath == nullptr) return false;
  const int descriptor = open(devicePath, kOpenFlags);
  if (descriptor < 0) return false;
  close(descriptor);
  return true;
}

ssize_t writeByte(const PortSlot& slot, unsigned char byte) noexcept {
  const int descriptor = slot.descriptor.load(std::memory_order_relaxed);
  ssize_t written;
  do {
    written = write(descriptor, &byte, 1);
  } while (written < 0 && errno == EINTR);
  return written;
}

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
