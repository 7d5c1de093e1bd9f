// A pseudo-terminal pair for programs that need a device path: the far end
// (the master, non-blocking) stays with the caller, the tty end is raw and
// held open so that the pair lives until it is closed, whoever opens the
// path meanwhile.
#pragma once

#include <cstddef>

namespace serialslots::pty {

struct Pair {
  int master = -1;
  int held = -1;       // the tty end, held open
  char path[64] = {};  // /dev/pts/N
};

// Opens a pair; 0, or the errno of the step that failed (nothing is left open).
int openPair(Pair& pair) noexcept;

// Reads what is there from `fd`, waiting up to timeoutMillis (-1: no limit)
// for the first byte: the count, 0 when none came in time, or minus the errno.
long readWaiting(int fd, unsigned char* buffer, std::size_t length, int timeoutMillis) noexcept;

// Writes what there is room for, waiting up to timeoutMillis for room: the
// count, 0 when there was none in time, or minus the errno.
long writeWaiting(int fd, const unsigned char* bytes, std::size_t length, int timeoutMillis) noexcept;

}  // namespace serialslots::pty
