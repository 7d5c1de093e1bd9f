// The fixed table of the 82 port slots the library can address, and the
// lookup from a Java port name to its slot.
#pragma once

#include <atomic>
#include <cstddef>

namespace serialslots {

constexpr int kPortsPerFamily = 41;  // numbers 0 to 40 in each family
constexpr int kPortCount = 2 * kPortsPerFamily;

// One named port: its Java name, its device node and the descriptor that the
// last open of it produced. A slot that holds no open descriptor holds -1.
struct PortSlot {
  const char* name;
  const char* devicePath;
  // Atomic so that a read on one thread and an open of the same slot on
  // another never race in the C++ sense; relaxed order is all that is needed.
  std::atomic<int> descriptor;
};

// The slots in lookup order: COM0, COMUSB0, COM1, COMUSB1, ..., COM40, COMUSB40.
extern PortSlot portTable[kPortCount];

// The slot whose name equals `name` byte for byte (terminating NUL included),
// or nullptr. A null `name` matches no slot. Reads at most ten bytes of `name`.
PortSlot* findPort(const char* name) noexcept;

}  // namespace serialslots
