// Benchmark-only JNI helper: the same single-byte system calls the library
// makes, in a C loop with no JNI transition, string or lookup per byte. Its
// blocks are the floor the library's per-byte cost is measured against.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "bench_RawIo.h"

namespace {

long long nowNanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// One byte out; on a full queue, waits for room as a caller would retry.
void writeOne(int fd, unsigned char byte, jint& stalls) {
  while (write(fd, &byte, 1) != 1) {
    if (errno == EAGAIN) {
      ++stalls;
      pollfd room{fd, POLLOUT, 0};
      poll(&room, 1, 10);
    }
  }
}

}  // namespace

JNIEXPORT jint JNICALL Java_bench_RawIo_open(JNIEnv* env, jclass, jstring path) {
  const char* text = env->GetStringUTFChars(path, nullptr);
  if (text == nullptr) return -1;
  const int fd = open(text, O_RDWR | O_NOCTTY | O_NONBLOCK);
  env->ReleaseStringUTFChars(path, text);
  if (fd < 0) return -1;
  termios raw;
  tcgetattr(fd, &raw);
  cfmakeraw(&raw);
  cfsetspeed(&raw, B115200);
  raw.c_cflag |= CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &raw);
  return fd;
}

JNIEXPORT void JNICALL Java_bench_RawIo_close(JNIEnv*, jclass, jint fd) { close(fd); }

JNIEXPORT jlong JNICALL Java_bench_RawIo_writeBlock(JNIEnv*, jclass, jint fd, jint count) {
  jint stalls = 0;
  const long long start = nowNanos();
  for (jint i = 0; i < count; ++i) writeOne(fd, static_cast<unsigned char>(0x55), stalls);
  return nowNanos() - start;
}

JNIEXPORT jlong JNICALL Java_bench_RawIo_echoBlock(JNIEnv*, jclass, jint fd, jint count) {
  jint stalls = 0;
  const long long start = nowNanos();
  for (jint i = 0; i < count; ++i) {
    writeOne(fd, static_cast<unsigned char>(0x55), stalls);
    unsigned char back = 0;
    while (read(fd, &back, 1) != 1) {
    }
  }
  return nowNanos() - start;
}
