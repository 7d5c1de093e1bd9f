// The name lookup must find exactly the slot that comparing the text with
// every name would find, for any text.
#include <cstdint>
#include <cstring>
#include <string>

#include "registry/port_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using serialslots::portTable;
  const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated
  serialslots::PortSlot* expected = nullptr;
  for (serialslots::PortSlot& slot : portTable) {
    if (std::strcmp(slot.name, text.c_str()) == 0) expected = &slot;
  }
  if (serialslots::findPort(text.c_str()) != expected) __builtin_trap();
  return 0;
}
