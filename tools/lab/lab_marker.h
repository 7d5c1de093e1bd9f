#pragma once

namespace seriallab {

// A file the lab launcher leaves in its private /dev and nowhere else.
inline constexpr char kLabMarker[] = "/dev/.serial-lab";

}  // namespace seriallab
