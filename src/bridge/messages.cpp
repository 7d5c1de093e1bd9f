#include "bridge/messages.h"

#include <cstdio>

namespace serialslots::messages {
namespace {

SlotMessage naming(const char* lead, const PortSlot& slot) noexcept {
  SlotMessage message;
  // The longest message, for COMUSB40, is 54 bytes: it always fits.
  (void)std::snprintf(message.text, sizeof message.text, "%s%s = %s.", lead, slot.name,
                      slot.devicePath);
  return message;
}

}  // namespace

SlotMessage openFailed(const PortSlot& slot) noexcept {
  return naming("Error setting serial port ", slot);
}

SlotMessage parametersRejected(const PortSlot& slot) noexcept {
  // Only the two first slots, COM0 and COMUSB0, name themselves here.
  if (&slot - portTable < 2) return naming("Error set parameters ", slot);
  return SlotMessage{"Error set parameters."};
}

SlotMessage writeFailed(const PortSlot& slot) noexcept {
  return naming("Can not be write serial port ", slot);
}

}  // namespace serialslots::messages
