// The natives of serialslots.local.NativeConnection that drive the poller: the
// event loop's threads wait in awaitReady, others wake them.
#include "events/poller.h"
#include "serialslots_local_NativeConnection.h"

using serialslots::events::Poller;
using serialslots::events::Ready;

namespace {

static_assert(serialslots::events::kIn == serialslots_local_NativeConnection_READY_IN &&
              serialslots::events::kOut == serialslots_local_NativeConnection_READY_OUT &&
              serialslots::events::kHangUp == serialslots_local_NativeConnection_READY_HANG_UP &&
              serialslots::events::kWoken == serialslots_local_NativeConnection_WOKEN);

Poller& pollerOf(jlong handle) noexcept {
  return *reinterpret_cast<Poller*>(handle);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

JNIEXPORT jlong JNICALL Java_serialslots_local_NativeConnection_createPoller(JNIEnv*, jclass) {
  return reinterpret_cast<jlong>(Poller::create());
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_destroyPoller(JNIEnv*, jclass,
                                                                       jlong poller) {
  delete &pollerOf(poller);
}

// Fills tokens and readiness; answers how many, or -1 when waiting failed.
JNIEXPORT jint JNICALL Java_serialslots_local_NativeConnection_awaitReady(JNIEnv* env, jclass,
                                                                    jlong poller, jlongArray tokens,
                                                                    jintArray readiness,
                                                                    jint timeoutMillis) {
  constexpr int kMost = 64;
  Ready ready[kMost];
  const jsize room = env->GetArrayLength(tokens);
  const int count = pollerOf(poller).await(ready, room < kMost ? room : kMost, timeoutMillis);
  for (int i = 0; i < count; ++i) {
    const jlong token = static_cast<jlong>(ready[i].token);
    const jint bits = ready[i].readiness;
    env->SetLongArrayRegion(tokens, i, 1, &token);
    env->SetIntArrayRegion(readiness, i, 1, &bits);
  }
  return count;
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_wakePoller(JNIEnv*, jclass, jlong poller) {
  pollerOf(poller).wake();
}

JNIEXPORT void JNICALL Java_serialslots_local_NativeConnection_clearWake(JNIEnv*, jclass, jlong poller) {
  pollerOf(poller).clearWake();
}
