// Any name and line texts through the port operations, on lab ptys and on
// nodes that are no tty. The lookup must find exactly the slot that comparing
// with every name finds, an open must end as the texts and the node decide,
// and no operation may leak a descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lab/far_end.h"
#include "ops/port_ops.h"

namespace {

using serialslots::ops::OpenOutcome;

std::vector<seriallab::FarEnd> devices;

bool oneOf(const std::string& text, std::initializer_list<const char*> accepted) {
  for (const char* candidate : accepted) {
    if (text == candidate) return true;
  }
  return false;
}

bool acceptedLine(const std::vector<std::string>& f) {
  return oneOf(f[1], {"110", "300", "600", "1200", "2400", "4800", "9600", "19200", "38400",
                      "57600", "115200", "460800"}) &&
         oneOf(f[2], {"8", "7"}) && oneOf(f[3], {"1", "2"}) && oneOf(f[4], {"N", "E", "0", "S"});
}

// Descriptors on the lab's serial nodes; the fuzzer's own files are not counted.
int deviceDescriptors() {
  int count = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) {
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      const std::string path = target;
      count += (path.rfind("/dev/pts/", 0) == 0 && path != "/dev/pts/ptmx") ||
               path.rfind("/dev/tty", 0) == 0;
    }
    closedir(fds);
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!seriallab::insideLab()) {
    std::fprintf(stderr, "ops_fuzzer runs only inside the serial lab (serial-lab -- ...)\n");
    std::exit(1);
  }
  for (const char* path : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0", "/dev/ttyUSB40"}) {
    devices.push_back(seriallab::FarEnd::attach(path));
  }
  close(open("/dev/ttyS2", O_CREAT | O_RDWR, 0600));  // a regular file
  mkdir("/dev/ttyS3", 0755);                          // a directory
  mkfifo("/dev/ttyS4", 0600);                         // a FIFO
  symlink("/dev/nowhere", "/dev/ttyS5");              // a dangling link
  return 0;
}

// Input: one byte choosing the operation, then name, baud, size, stop bits
// and parity separated by newlines. Each text ends at its first NUL, as the
// texts the JVM hands over do.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<std::string> fields(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == '\n' && fields.size() < 5) {
      fields.emplace_back();
    } else {
      fields.back() += static_cast<char>(data[i]);
    }
  }
  fields.resize(5);
  for (std::string& field : fields) field = field.c_str();

  serialslots::PortSlot* expected = nullptr;
  for (serialslots::PortSlot& slot : serialslots::portTable) {
    if (fields[0] == slot.name) expected = &slot;
  }
  serialslots::PortSlot* slot = serialslots::findPort(fields[0].c_str());
  if (slot != expected) __builtin_trap();

  unsigned char byte = 0;
  switch (data[0] % 5) {
    case 0: {
      struct stat node {};
      const bool present = slot && stat(slot->devicePath, &node) == 0 && !S_ISDIR(node.st_mode);
      const OpenOutcome model = !expected  ? OpenOutcome::kNoSuchPort
                                : !present ? OpenOutcome::kOpenFailed
                                : S_ISCHR(node.st_mode) && acceptedLine(fields)
                                    ? OpenOutcome::kOpened
                                    : OpenOutcome::kParametersRejected;
      if (serialslots::ops::openPort(fields[0].c_str(), fields[1].c_str(), fields[2].c_str(),
                                     fields[3].c_str(), fields[4].c_str(), slot) != model) {
        __builtin_trap();
      }
      break;
    }
    case 1:
      if (slot) serialslots::ops::writeByte(*slot, 0x55);
      break;
    case 2:
      if (slot) serialslots::ops::readByte(*slot, byte);
      break;
    case 3:
      if (slot) serialslots::ops::closePort(*slot);
      break;
    default:
      // Probe only the lab's serial paths: nothing outside the lab is opened.
      serialslots::ops::canOpen(("/dev/ttyS" + fields[0]).c_str());
      break;
  }
  // Keep the far ends from filling up, then check nothing leaked.
  for (const seriallab::FarEnd& device : devices) device.take(1 << 16, 0);
  int held = 0;
  for (const serialslots::PortSlot& each : serialslots::portTable) held += each.descriptor >= 0;
  if (deviceDescriptors() != held) __builtin_trap();
  return 0;
}
