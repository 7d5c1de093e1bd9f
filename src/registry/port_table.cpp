#include "registry/port_table.h"

namespace serialslots {
namespace {

// Slot i is COM(i/2) for even i and COMUSB(i/2) for odd i.
#define SERIALSLOTS_PAIR(n)               \
  {"COM" #n, "/dev/ttyS" #n, {-1}}, {     \
    "COMUSB" #n, "/dev/ttyUSB" #n, { -1 } \
  }
#define SERIALSLOTS_TEN(d)                                                                        \
  SERIALSLOTS_PAIR(d##0), SERIALSLOTS_PAIR(d##1), SERIALSLOTS_PAIR(d##2), SERIALSLOTS_PAIR(d##3), \
      SERIALSLOTS_PAIR(d##4), SERIALSLOTS_PAIR(d##5), SERIALSLOTS_PAIR(d##6),                     \
      SERIALSLOTS_PAIR(d##7), SERIALSLOTS_PAIR(d##8), SERIALSLOTS_PAIR(d##9)

constexpr bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

PortSlot portTable[kPortCount] = {
    SERIALSLOTS_PAIR(0), SERIALSLOTS_PAIR(1),  SERIALSLOTS_PAIR(2), SERIALSLOTS_PAIR(3),
    SERIALSLOTS_PAIR(4), SERIALSLOTS_PAIR(5),  SERIALSLOTS_PAIR(6), SERIALSLOTS_PAIR(7),
    SERIALSLOTS_PAIR(8), SERIALSLOTS_PAIR(9),  SERIALSLOTS_TEN(1),  SERIALSLOTS_TEN(2),
    SERIALSLOTS_TEN(3),  SERIALSLOTS_PAIR(40),
};

#undef SERIALSLOTS_TEN
#undef SERIALSLOTS_PAIR

// The 82 names are exactly "COM" or "COMUSB" followed by a decimal number from
// 0 to 40 without leading zeros. Recognising that shape directly finds the same
// slot as comparing against every name, in the same few steps for every name.
PortSlot* findPort(const char* name) noexcept {
  if (name == nullptr || name[0] != 'C' || name[1] != 'O' || name[2] != 'M') {
    return nullptr;
  }
  const char* digits = name + 3;
  int family = 0;
  if (digits[0] == 'U' && digits[1] == 'S' && digits[2] == 'B') {
    family = 1;
    digits += 3;
  }
  if (!isDigit(digits[0])) return nullptr;
  int number = digits[0] - '0';
  if (digits[1] != '\0') {
    // Two digits: no leading zero, nothing after them, at most 40.
    if (number == 0 || !isDigit(digits[1]) || digits[2] != '\0') return nullptr;
    number = number * 10 + (digits[1] - '0');
    if (number >= kPortsPerFamily) return nullptr;
  }
  return &portTable[2 * number + family];
}

}  // namespace serialslots
