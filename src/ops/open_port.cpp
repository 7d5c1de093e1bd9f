// Opening a slot's device and programming its line.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "line/line_settings.h"
#include "ops/port_ops.h"

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

}  // namespace

OpenOutcome openPort(const char* name, const char* baud, const char* size, const char* stop,
                     const char* parityText, PortSlot*& slot) noexcept {
  OpenLockGuard guard;
  ParameterTexts texts(name, baud, size, stop, parityText);

  slot = findPort(port);
  if (slot == nullptr) return OpenOutcome::kNoSuchPort;

  const int descriptor = open(slot->devicePath, O_RDWR | O_NOCTTY | O_NONBLOCK);
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

}  // namespace serialslots::ops
