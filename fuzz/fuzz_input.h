// What the fuzzers share: the lab check and splitting an input into fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "far_end.h"

namespace fuzzing {

// The fuzzers that open device paths run only inside the lab.
inline void requireLab(const char* fuzzer) {
  if (!seriallab::insideLab()) {
    std::fprintf(stderr, "%s runs only inside the serial lab (serial-lab -- ...)\n", fuzzer);
    std::exit(1);
  }
}

// Exactly `count` fields, separated by newlines; the last takes the rest.
inline std::vector<std::string> splitFields(const uint8_t* data, size_t size, size_t count) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n' && fields.size() < count) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  fields.resize(count);
  return fields;
}

}  // namespace fuzzing
