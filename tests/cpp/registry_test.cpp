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

TEST(FindPort, AgreesWithExactComparisonOnEveryShortTextAndEveryEditOfEachName) {
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
    texts.push_back(name + "\xC0\x80");  // a Java string with a trailing U+0000
    for (size_t at = 0; at <= name.size(); ++at) {
      texts.push_back(name.substr(0, at));
      for (char letter : alphabet) {
        texts.push_back(name.substr(0, at) + letter + name.substr(at));
        if (at < name.size()) texts.push_back(name.substr(0, at) + letter + name.substr(at + 1));
      }
    }
  }
  for (const std::string& text : texts) {
    ASSERT_EQ(findPort(text.c_str()), findByComparison(text.c_str())) << '"' << text << '"';
  }
  EXPECT_EQ(findPort(nullptr), nullptr);
}

}  // namespace
}  // namespace serialslots
