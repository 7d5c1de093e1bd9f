// The natives' argument handling through the stand-in JNI environment: any
// names, texts, nulls and data, on lab ptys and on nodes that are no tty.
// Every call must release what it converted, make no JNI call but a release
// once an exception is pending, raise only the library's own messages, and
// leave no descriptor behind once the slots are closed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core_SerialPort.h"
#include "fake_jni.h"
#include "far_end.h"
#include "fuzz_input.h"
#include "registry/port_table.h"

namespace {

std::vector<seriallab::FarEnd> devices;

// Descriptors on the lab's serial nodes (pty slaves and the nodes that are no
// tty). The far ends' masters and whatever the fuzzer itself opens (pipes to
// a symbolizer, corpus files) are not counted.
int deviceDescriptors() {
  int count = 0;
  if (DIR* fds = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(fds)) {
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      const std::string path = target;
      if ((path.rfind("/dev/pts/", 0) == 0 && path != "/dev/pts/ptmx") ||
          path.rfind("/dev/tty", 0) == 0) {
        ++count;
      }
    }
    closedir(fds);
  }
  return count;
}

bool allowed(const testing_jni::Raised& raised) {
  const std::string& message = raised.message;
  if (raised.className == "java/lang/NullPointerException") return true;
  if (raised.className != "java/lang/Exception") return false;
  return message == "Serial port does not exits." || message == "Can not be read serial port." ||
         message == "Error set parameters." || message.rfind("Error set parameters COM", 0) == 0 ||
         message.rfind("Error setting serial port COM", 0) == 0 ||
         message.rfind("Can not be write serial port COM", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::requireLab("natives_fuzzer");
  for (const char* path : {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0", "/dev/ttyUSB40"}) {
    devices.push_back(seriallab::FarEnd::attach(path));
  }
  close(open("/dev/ttyS2", O_CREAT | O_RDWR, 0600));  // a regular file
  mkdir("/dev/ttyS3", 0755);                          // a directory
  mkfifo("/dev/ttyS4", 0600);                         // a FIFO
  symlink("/dev/nowhere", "/dev/ttyS5");              // a dangling link
  return 0;
}

// Input: one byte choosing the native, then up to five fields separated by
// newlines; a field that is exactly "~" stands for a null Java string.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<std::string> fields = fuzzing::splitFields(data + 1, size - 1, 5);

  testing_jni::FakeJni jni;
  JNIEnv* env = jni.env();
  auto arg = [&](size_t i) { return fields[i] == "~" ? nullptr : jni.string(fields[i]); };
  const jint number =
      fields[1].empty() ? 0 : static_cast<jint>(static_cast<unsigned char>(fields[1][0]) * 37);
  switch (data[0] % 10) {
    case 0:
      Java_core_SerialPort_openPortC(env, nullptr, arg(0), arg(1), arg(2), arg(3), arg(4));
      break;
    case 1:
      Java_core_SerialPort_writeDataInt(env, nullptr, arg(0), number);
      break;
    case 2:
      Java_core_SerialPort_writePortC__Ljava_lang_String_2C(env, nullptr, arg(0),
                                                            static_cast<jchar>(number));
      break;
    case 3:
      Java_core_SerialPort_writePortC__Ljava_lang_String_2Ljava_lang_String_2(env, nullptr, arg(0),
                                                                              arg(1));
      break;
    case 4:
      Java_core_SerialPort_readDataInt(env, nullptr, arg(0));
      break;
    case 5:
      Java_core_SerialPort_readPortLikeCharC(env, nullptr, arg(0));
      break;
    case 6:
      Java_core_SerialPort_readPortC(env, nullptr, arg(0));
      break;
    case 7:
      Java_core_SerialPort_closePortC(env, nullptr, arg(0));
      break;
    case 8: {
      // Probe only the lab's serial paths: nothing outside the lab is opened.
      const std::string path = (fields[1].size() % 2 ? "/dev/ttyUSB" : "/dev/ttyS") + fields[0];
      Java_core_SerialPort_getStateSerialPortC(env, nullptr,
                                               fields[0] == "~" ? nullptr : jni.string(path));
      break;
    }
    default:
      Java_core_SerialPort_setTimeOutSerialPortC(env, nullptr);
      break;
  }
  if (jni.outstandingConversions != 0 || jni.callsWhilePending != 0) __builtin_trap();
  if (jni.raised && !allowed(*jni.raised)) __builtin_trap();

  // Keep the far ends from filling up, then check nothing leaked.
  for (const seriallab::FarEnd& device : devices) device.take(1 << 16, 0);
  int held = 0;
  for (const serialslots::PortSlot& slot : serialslots::portTable) held += slot.descriptor >= 0;
  if (deviceDescriptors() != held) __builtin_trap();
  return 0;
}
