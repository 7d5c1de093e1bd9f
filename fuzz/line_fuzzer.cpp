// Any four line-parameter texts through startPort on a lab pty: the result is
// the code of the first rejected text (in the order baud, stop bits, size,
// parity), and a rejection leaves the device exactly as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "far_end.h"
#include "fuzz_input.h"
#include "line/line_settings.h"

namespace {

std::optional<seriallab::FarEnd> device;
int fd = -1;

bool oneOf(const std::string& text, std::initializer_list<const char*> accepted) {
  for (const char* candidate : accepted) {
    if (text == candidate) return true;
  }
  return false;
}

int expectedCode(const std::vector<std::string>& texts) {
  if (!oneOf(texts[0], {"110", "300", "600", "1200", "2400", "4800", "9600", "19200", "38400",
                        "57600", "115200", "460800"})) {
    return serialslots::kBadBaudRate;
  }
  if (!oneOf(texts[2], {"1", "2"})) return serialslots::kBadStopBits;
  if (!oneOf(texts[1], {"8", "7"})) return serialslots::kBadByteSize;
  if (!oneOf(texts[3], {"N", "E", "0", "S"})) return serialslots::kBadParity;
  return serialslots::kLineApplied;
}

bool same(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::requireLab("line_fuzzer");
  device.emplace(seriallab::FarEnd::attach("/dev/ttyS1"));
  fd = open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK);
  return fd >= 0 ? 0 : 1;
}

// The input holds baud, size, stop bits and parity, separated by newlines.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> texts = fuzzing::splitFields(data, size, 4);
  // What the JVM hands over is NUL-terminated: a text ends at its first NUL.
  for (std::string& text : texts) text = text.c_str();

  const termios before = device->attributes();
  serialslots::baudRate = texts[0].c_str();
  serialslots::byteSize = texts[1].c_str();
  serialslots::stopBits = texts[2].c_str();
  serialslots::parity = texts[3].c_str();
  const int code = startPort(fd);
  serialslots::baudRate = serialslots::byteSize = serialslots::stopBits = serialslots::parity =
      nullptr;

  if (code != expectedCode(texts)) __builtin_trap();
  if (code != serialslots::kLineApplied && !same(before, device->attributes())) __builtin_trap();
  if (code == serialslots::kLineApplied && device->attributes().c_lflag != 0) __builtin_trap();
  return 0;
}
