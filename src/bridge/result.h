// How the connection's natives answer: one jlong for every call but open.
#pragma once

#include <jni.h>

#include "connection/connection.h"

namespace serialslots {

// How the call ended in the high half (the Status, with the errno above it)
// and what it moved or read in the low half.
inline jlong resultOf(const connection::Outcome& outcome, jlong value = 0) noexcept {
  const jlong code = static_cast<jint>(outcome.status) | outcome.error << 8;
  return code << 32 | (value & 0xFFFFFFFF);
}

}  // namespace serialslots
