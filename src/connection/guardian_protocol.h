// What the library and its guardian of exclusive opens (guardian.cpp) say to
// each other over their socket.
#pragma once

namespace serialslots::connection::guardian {

inline constexpr int kHold = 1;  // keep the attached descriptor in `slot`
inline constexpr int kDrop = 2;  // close the descriptor in `slot`
inline constexpr int kSlots = 1024;

struct Message {
  int op;
  int slot;
};

}  // namespace serialslots::connection::guardian
