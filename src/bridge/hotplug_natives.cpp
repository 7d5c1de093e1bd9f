// The natives of serialslots.local.NativeConnection for ports that come and go: the
// kernel's uevent socket, read without waiting when the event loop says so.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "bridge/result.h"
#include "events/poller.h"
#include "hotplug/uevents.h"
#include "serialslots_local_NativeConnection.h"

using serialslots::hotplug::TtyEvent;

JNIEXPORT jint JNICALL Java_serialslots_local_NativeConnection_openUevents(JNIEnv*, jclass) {
  const int fd = serialslots::hotplug::openUevents();
  return fd >= 0 ? fd : -errno;
}

// "+ttyUSB0" for an added tty, "-ttyUSB0" for a removed one, "" for a
// message that is neither, null when none is waiting.
JNIEXPORT jstring JNICALL Java_serialslots_local_NativeConnection_nextTtyEvent(JNIEnv* env, jclass,
                                                                         jint fd) {
  TtyEvent event{};
  const int got = serialslots::hotplug::receiveTtyEvent(fd, event);
  if (got < 0) return nullptr;
  char text[sizeof event.name + 1] = {};
  if (got > 0) {
    text[0] = event.added ? '+' : '-';
    for (size_t i = 0; event.name[i] != '\0'; ++i) text[i + 1] = event.name[i];
  }
  return env->NewStringUTF(text);
}

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_watchDescriptor(JNIEnv*, jclass,
                                                                          jlong poller, jint fd,
                                                                          jlong token) {
  // Edge-triggered: each new datagram once; the reader takes all there is.
  const int error = reinterpret_cast<serialslots::events::Poller*>(poller)  // NOLINT
                        ->watch(fd, static_cast<std::uint64_t>(token), EPOLLIN | EPOLLET, false);
  using serialslots::connection::Status;
  return serialslots::resultOf({error == 0 ? Status::kDone : Status::kFailed, error});
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_closeDescriptor(JNIEnv*, jclass, jint fd) {
  close(fd);
}
