// The virtual serial lab's one signal: a marker file that the launcher leaves
// in its private /dev and nowhere else. Whatever opens a serial device path
// for a demo or a test checks it first, so that it can never touch the
// host's ports.
#pragma once

#include <sys/stat.h>
#include <sys/vfs.h>

namespace seriallab {

inline constexpr char kLabMarker[] = "/dev/.serial-lab";

// True only inside the lab: /dev is the lab's own tmpfs carrying its marker.
inline bool insideLab() noexcept {
  constexpr long kTmpfsMagic = 0x01021994;
  struct statfs devStat;
  struct stat markerStat;
  return statfs("/dev", &devStat) == 0 && devStat.f_type == kTmpfsMagic &&
         stat(kLabMarker, &markerStat) == 0;
}

}  // namespace seriallab
