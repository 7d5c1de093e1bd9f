// JNI access to the lab's far ends for Java tests and tools. Test-only: it is
// never part of the library users load.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "far_end.h"
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
  termios settings{};
  try {
    settings = seriallab::attributesOf(fd);
  } catch (const std::exception& error) {
    raise(env, error.what());
    return nullptr;
  }
  const jlong values[] = {
      static_cast<jlong>(settings.c_iflag),
      static_cast<jlong>(settings.c_oflag),
      static_cast<jlong>(settings.c_cflag),
      static_cast<jlong>(settings.c_lflag),
      seriallab::baudOf(cfgetispeed(&settings)),
      seriallab::baudOf(cfgetospeed(&settings)),
      settings.c_cc[VMIN],
      settings.c_cc[VTIME],
  };
  jlongArray result = env->NewLongArray(8);
  if (result != nullptr) env->SetLongArrayRegion(result, 0, 8, values);
  return result;
}

JNIEXPORT void JNICALL Java_lab_SerialLab_hangUp(JNIEnv*, jclass, jint fd) {
  std::lock_guard<std::mutex> guard(farEndsLock);
  farEnds.erase(fd);
}
