#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/port_table.h"

namespace serialslots {
namespace {

// The lookup as the table defines it: exact comparison with every name.
PortSlot* findByComparison(const char* name) {
  for (PortSlot& slot : portTable) {
    if (std::strcmp(slot.name, name) == 0) return &slot;
  }
  return nullptr;
}

TEST(PortTable, HoldsTheEightyTwoSlotsInOrderWithTheirPaths) {
  for (int number = 0; number < kPortsPerFamily; ++number) {
    const std::string n = std::to_string(number);
    const PortSlot& standard = portTable[2 * number];
    const PortSlot& usb = portTable[2 * number + 1];
    EXPECT_STREQ(standard.name, ("COM" + n).c_str());
    EXPECT_STREQ(standard.devicePath, ("/dev/ttyS" + n).c_str());
    EXPECT_STREQ(usb.name, ("COMUSB" + n).c_str());
    EXPECT_STREQ(usb.devicePath, ("/dev/ttyUSB" + n).c_str());
  }
}

TEST(PortTable, NoSlotHoldsADescriptorAtLoad) {
  // Never 0: a slot used before any open must not reach standard input.
  for (const PortSlot& slot : portTable) EXPECT_EQ(slot.descriptor.load(), -1) << slot.name;
}

TEST(FindPort, EveryNameFindsItsOwnSlot) {
  for (PortSlot& slot : portTable) {
    const std::string copy = slot.name;  // a different address, the same bytes
    EXPECT_EQ(findPort(copy.c_str()), &slot) << copy;
  }
}

TEST(FindPort, NearMissesFindNothing) {
  const std::vector<std::string> misses = {
      "COM41",      "COMUSB41",     "com1",     "Com1",         "COM1 ",       " COM1",
      "COM01",      "COMUSB01",     "COMUSB",   "COM",          "CO",          "",
      "/dev/ttyS1", "/dev/ttyUSB0", "COM100",   "COM400",       "COMUSB400",   "COM-1",
      "COM+1",      "COMusb1",      "COMUSB1x", "COM1\xC0\x80", "COM\xC0\x80", "COM50",
      "COM99",      "COMUSB99",     "COM4O",    "COMUSB 1",     "USB1",        "COMUSBUSB1",
  };
  for (const std::string& name : misses) {
    EXPECT_EQ(findPort(name.c_str()), nullptr) << '"' << name << '"';
  }
  EXPECT_EQ(findPort(nullptr), nullptr);
}

TEST(FindPort, AgreesWithExactComparisonOnEveryShortText) {
  // Every text of up to four bytes from the letters that make the names, and
  // every one-byte edit, cut and extension of each of the 82 names.
  const std::string alphabet = "COMUSB0123456789 /c";
  std::vector<std::string> texts = {""};
  for (size_t length = 1, begin = 0; length <= 4; ++length) {
    const size_t end = texts.size();
    for (size_t i = begin; i < end; ++i) {
      for (char letter : alphabet) texts.push_back(texts[i] + letter);
    }
    begin = end;
  }
  for (const PortSlot& slot : portTable) {
    const std::string name = slot.name;
    for (size_t at = 0; at <= name.size(); ++at) {
      texts.push_back(name.substr(0, at));
      for (char letter : alphabet) {
        texts.push_back(name.substr(0, at) + letter + name.substr(at));
        if (at < name.size()) {
          std::string edited = name;
          edited[at] = letter;
          texts.push_back(edited);
        }
      }
    }
  }
  for (const std::string& text : texts) {
    ASSERT_EQ(findPort(text.c_str()), findByComparison(text.c_str())) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace serialslots
