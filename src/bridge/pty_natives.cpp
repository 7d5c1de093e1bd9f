// The natives of serialslots.local.NativePty: a pseudo-terminal pair and its
// far end's reads and writes.
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "pty/pty.h"
#include "serialslots_local_NativePty.h"

static_assert(serialslots_local_NativePty_MASTER == 0 && serialslots_local_NativePty_HELD == 1 &&
                  serialslots_local_NativePty_ERROR == 2 &&
                  serialslots_local_NativePty_DESCRIPTORS_LENGTH == 3,
              "NativePty's positions");

JNIEXPORT jstring JNICALL Java_serialslots_local_NativePty_open(JNIEnv* env, jclass,
                                                                jintArray descriptors) {
  serialslots::pty::Pair pair;
  const int error = serialslots::pty::openPair(pair);
  const jint report[] = {pair.master, pair.held, error};
  env->SetIntArrayRegion(descriptors, 0, 3, report);
  return error == 0 ? env->NewStringUTF(pair.path) : nullptr;
}

JNIEXPORT jint JNICALL Java_serialslots_local_NativePty_read(JNIEnv* env, jclass, jint fd,
                                                             jbyteArray buffer, jint offset,
                                                             jint length, jint timeoutMillis) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(length));
  const long got = serialslots::pty::readWaiting(fd, bytes.data(), bytes.size(), timeoutMillis);
  if (got > 0) {
    env->SetByteArrayRegion(buffer, offset, static_cast<jsize>(got),
                            reinterpret_cast<const jbyte*>(bytes.data()));  // NOLINT
  }
  return static_cast<jint>(got);
}

JNIEXPORT jint JNICALL Java_serialslots_local_NativePty_write(JNIEnv* env, jclass, jint fd,
                                                              jbyteArray buffer, jint offset,
                                                              jint length, jint timeoutMillis) {
  std::vector<unsigned char> bytes(static_cast<std::size_t>(length));
  env->GetByteArrayRegion(buffer, offset, length, reinterpret_cast<jbyte*>(bytes.data()));  // NOLINT
  return static_cast<jint>(
      serialslots::pty::writeWaiting(fd, bytes.data(), bytes.size(), timeoutMillis));
}

JNIEXPORT void JNICALL Java_serialslots_local_NativePty_close(JNIEnv*, jclass, jint fd) {
  close(fd);
}
