// Shared pieces of the C++ tests: descriptor counting and slot handling.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include "far_end.h"
#include "registry/port_table.h"

namespace testing_support {

inline int openDescriptorCount() {
  int count = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (readdir(fds) != nullptr) ++count;
    closedir(fds);
  }
  return count - 3;  // ".", ".." and the directory's own descriptor
}

inline bool isOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// Skips a test that needs device paths when not inside the lab (ctest always
// runs the suite inside it).
#define REQUIRE_LAB()                                                    \
  do {                                                                   \
    if (!seriallab::insideLab()) GTEST_SKIP() << "needs the serial lab"; \
  } while (0)

// Leaves every slot as at load when a test ends, whatever it opened.
class SlotsReset : public ::testing::Test {
 protected:
  void TearDown() override {
    for (serialslots::PortSlot& slot : serialslots::portTable) {
      const int fd = slot.descriptor.exchange(-1);
      if (fd >= 0) close(fd);
    }
  }
};

}  // namespace testing_support
