// The one-byte API's line settings: the four texts of an open turned into
// the line's attributes through the line module, with that API's own accepted
// texts, edits and result codes.
#pragma once

#include "line/line.h"

namespace serialslots {

// The settings record that every startPort call refills from the device, edits
// and applies. After a successful call it holds exactly what was applied.
extern termios2 options;

// The texts of the open in progress. They point into strings that live only
// for that open; outside an open they are null.
extern const char* port;
extern const char* baudRate;
extern const char* byteSize;
extern const char* stopBits;
extern const char* parity;

// Result codes of startPort.
enum LineResult : int {
  kLineApplied = 1,
  kBadBaudRate = 4,
  kBadByteSize = 5,
  kBadStopBits = 6,
  kBadParity = 7,
  // The descriptor is not a terminal whose attributes can be read.
  kAttributesUnreadable = 8,
  // The device refused the attributes.
  kAttributesRefused = 9,
  // The device answered success but kept another speed (a UART whose clock
  // cannot make the rate). Its previous attributes have been restored.
  kSpeedNotTaken = 10,
};

// Any code above this one is a rejection.
constexpr int kLastAcceptedCode = 3;

}  // namespace serialslots

// Programs descriptor `fd` from baudRate, stopBits, byteSize and parity and
// answers a LineResult. On any code other than kLineApplied the device's
// terminal attributes are as they were before the call.
// Exported under its C++-mangled name (_Z9startPorti), which programs linking
// to the library use: it stays a C++ function, outside any namespace.
__attribute__((visibility("default"))) int startPort(int fd);
