// JNI access to the lab's far ends for Java tests and tools. Test-only: it is
// never part of the library users load.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "lab/far_end.h"
#include "lab_SerialLab.h"

namespace {

std::mutex farEndsLock;
std::map<int, seriallab::FarEnd> farEnds;

void raise(JNIEnv* env, const std::string& message) {
  jclass error = env->FindClass("java/lang/IllegalStateException");
  if (error != nullptr) env->ThrowNew(error, message.c_str());
}

std::string text(JNIEnv* env, jstring string) {
  const char* chars = env->GetStringUTFChars(string, nullptr);
  if (chars == nullptr) return {};
  std::string copy(chars);
  env->ReleaseStringUTFChars(string, chars);
  return copy;
}

jbyteArray toByteArray(JNIEnv* env, const std::string& data) {
  jbyteArray bytes = env->NewByteArray(static_cast<jsize>(data.size()));
  if (bytes != nullptr) {
    env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(data.size()),
                            reinterpret_cast<const jbyte*>(data.data()));
  }
  return bytes;
}

jlongArray attributesArray(JNIEnv* env, const termios& settings, int waiting) {
  const jlong values[] = {
      static_cast<jlong>(settings.c_iflag),
      static_cast<jlong>(settings.c_oflag),
      static_cast<jlong>(settings.c_cflag),
      static_cast<jlong>(settings.c_lflag),
      seriallab::baudOf(cfgetispeed(&settings)),
      seriallab::baudOf(cfgetospeed(&settings)),
      settings.c_cc[VMIN],
      settings.c_cc[VTIME],
      waiting,
  };
  constexpr jsize kCount = sizeof values / sizeof values[0];
  jlongArray result = env->NewLongArray(kCount);
  if (result != nullptr) env->SetLongArrayRegion(result, 0, kCount, values);
  return result;
}

// True only in the hardware lab's virtual machine, whose ttys are all its own.
bool insideHardwareLab() {
  std::ifstream commandLine("/proc/cmdline");
  std::string word;
  while (commandLine >> word) {
    if (word == "serialslots.hardware-lab") return true;
  }
  return false;
}

// A descriptor of its own on a device of the serial lab or the hardware lab,
// never of the host; on failure fd is -1 and a Java exception is pending.
struct DeviceDescriptor {
  std::string path;
  int fd = -1;

  DeviceDescriptor(JNIEnv* env, jstring devicePath) : path(text(env, devicePath)) {
    if (!seriallab::insideLab() && !insideHardwareLab()) {
      raise(env, "not inside the serial lab or the hardware lab");
      return;
    }
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) raise(env, "cannot open " + path + ": " + std::strerror(errno));
  }
  DeviceDescriptor(const DeviceDescriptor&) = delete;
  DeviceDescriptor& operator=(const DeviceDescriptor&) = delete;
  ~DeviceDescriptor() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

JNIEXPORT jboolean JNICALL Java_lab_SerialLab_insideLab(JNIEnv*, jclass) {
  return seriallab::insideLab() ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_lab_SerialLab_makeFifo(JNIEnv* env, jclass, jstring path) {
  const std::string where = text(env, path);
  if (!seriallab::insideLab()) return raise(env, "not inside the serial lab");
  unlink(where.c_str());
  if (mkfifo(where.c_str(), 0666) != 0) raise(env, "mkfifo " + where + ": " + std::strerror(errno));
}

JNIEXPORT jint JNICALL Java_lab_SerialLab_attachPty(JNIEnv* env, jclass, jstring path) {
  try {
    seriallab::FarEnd end = seriallab::FarEnd::attach(text(env, path));
    const int fd = end.fd();
    std::lock_guard<std::mutex> guard(farEndsLock);
    farEnds.emplace(fd, std::move(end));
    return fd;
  } catch (const std::exception& error) {
    raise(env, error.what());
    return -1;
  }
}

// The far ends' descriptors stay valid until hangUp; using them needs no lock.
JNIEXPORT void JNICALL Java_lab_SerialLab_inject(JNIEnv* env, jclass, jint fd, jbyteArray bytes) {
  const jsize length = env->GetArrayLength(bytes);
  std::string data(static_cast<size_t>(length), '\0');
  env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(data.data()));
  try {
    seriallab::injectInto(fd, data);
  } catch (const std::exception& error) {
    raise(env, error.what());
  }
}

JNIEXPORT jbyteArray JNICALL Java_lab_SerialLab_take(JNIEnv* env, jclass, jint fd, jint max,
                                                     jint waitMillis) {
  return toByteArray(env, seriallab::takeFrom(fd, static_cast<size_t>(max), waitMillis));
}

JNIEXPORT jbyteArray JNICALL Java_lab_SerialLab_takeWaiting(JNIEnv* env, jclass, jint fd, jint max,
                                                            jint waitMillis) {
  return toByteArray(env, seriallab::takeWaitingFrom(fd, static_cast<size_t>(max), waitMillis));
}

JNIEXPORT jlongArray JNICALL Java_lab_SerialLab_attributes(JNIEnv* env, jclass, jint fd) {
  try {
    return attributesArray(env, seriallab::attributesOf(fd), 0);
  } catch (const std::exception& error) {
    raise(env, error.what());
    return nullptr;
  }
}

JNIEXPORT jlongArray JNICALL Java_lab_SerialLab_readDeviceState(JNIEnv* env, jclass, jstring path) {
  const DeviceDescriptor device(env, path);
  termios settings{};
  int waiting = 0;
  if (device.fd < 0) return nullptr;
  if (tcgetattr(device.fd, &settings) != 0 || ioctl(device.fd, FIONREAD, &waiting) != 0) {
    raise(env, "cannot read " + device.path + ": " + std::strerror(errno));
    return nullptr;
  }
  return attributesArray(env, settings, waiting);
}

JNIEXPORT void JNICALL Java_lab_SerialLab_modemControl(JNIEnv* env, jclass, jstring path, jint bits,
                                                       jboolean on) {
  const DeviceDescriptor device(env, path);
  if (device.fd >= 0 && ioctl(device.fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
    raise(env, "cannot set the modem bits of " + device.path + ": " + std::strerror(errno));
  }
}

JNIEXPORT jboolean JNICALL Java_lab_SerialLab_transmitterEmpty(JNIEnv* env, jclass, jstring path) {
  const DeviceDescriptor device(env, path);
  unsigned status = 0;
  if (device.fd >= 0 && ioctl(device.fd, TIOCSERGETLSR, &status) != 0) {
    raise(env, "cannot read the line status of " + device.path + ": " + std::strerror(errno));
  }
  return (status & TIOCSER_TEMT) != 0 ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT void JNICALL Java_lab_SerialLab_hangUp(JNIEnv*, jclass, jint fd) {
  std::lock_guard<std::mutex> guard(farEndsLock);
  farEnds.erase(fd);
}
