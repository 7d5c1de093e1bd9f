// Benchmark-only JNI helper: the same single-byte system calls the library
// makes, in a C loop with no JNI transition, string or lookup per byte. Its
// blocks are the floor the library's per-byte cost is measured against.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
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

// One byte through a bare JNI call around write(): what a one-byte native
// costs before any work of its own.
JNIEXPORT void JNICALL Java_bench_RawIo_writeOne(JNIEnv*, jclass, jint fd, jint byte) {
  jint stalls = 0;
  writeOne(fd, static_cast<unsigned char>(byte), stalls);
}

// A bare JNI call around a one-byte read().
JNIEXPORT jint JNICALL Java_bench_RawIo_readOne(JNIEnv*, jclass, jint fd) {
  unsigned char byte = 0;
  return read(fd, &byte, 1) == 1 ? byte : 0;
}

JNIEXPORT jlong JNICALL Java_bench_RawIo_bulkBlock(JNIEnv*, jclass, jint fd, jint size,
                                                   jint count) {
  static unsigned char block[1 << 16];
  const size_t length = std::min(sizeof block, static_cast<size_t>(size));
  const long long start = nowNanos();
  for (jint i = 0; i < count; ++i) {
    for (size_t done = 0; done < length;) {
      const ssize_t n = write(fd, block + done, length - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (errno == EAGAIN) {
        pollfd room{fd, POLLOUT, 0};
        poll(&room, 1, -1);
      }
    }
  }
  return nowNanos() - start;
}

// Waits in poll() for one byte and answers the monotonic time it was read
// at, the clock System.nanoTime() reads.
JNIEXPORT jlong JNICALL Java_bench_RawIo_awaitByte(JNIEnv*, jclass, jint fd) {
  unsigned char byte = 0;
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    poll(&ready, 1, -1);
    if (read(fd, &byte, 1) == 1) return nowNanos();
  }
}

// An epoll set over the descriptors, each with its index, for a raw event loop.
JNIEXPORT jint JNICALL Java_bench_RawIo_epollOver(JNIEnv* env, jclass, jintArray fds) {
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  const jsize count = env->GetArrayLength(fds);
  jint* descriptors = env->GetIntArrayElements(fds, nullptr);
  for (jsize i = 0; i < count; ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = static_cast<uint32_t>(i);
    epoll_ctl(epoll, EPOLL_CTL_ADD, descriptors[i], &event);
  }
  env->ReleaseIntArrayElements(fds, descriptors, JNI_ABORT);
  return epoll;
}

// The raw event loop's one turn: waits in epoll_wait, reads the byte that
// came, and answers the monotonic time it was read at.
JNIEXPORT jlong JNICALL Java_bench_RawIo_epollAwaitByte(JNIEnv* env, jclass, jint epoll,
                                                        jintArray fds) {
  epoll_event event{};
  while (epoll_wait(epoll, &event, 1, -1) != 1) {
  }
  jint fd = 0;
  env->GetIntArrayRegion(fds, static_cast<jsize>(event.data.u32), 1, &fd);
  unsigned char byte = 0;
  while (read(fd, &byte, 1) != 1) {
  }
  return nowNanos();
}
