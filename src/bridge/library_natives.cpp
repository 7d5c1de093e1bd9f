// The natives of serialslots.internal.NativeLibrary: what the loader asks a
// library it has just loaded before anything else binds to it.
#include "serialslots_internal_NativeLibrary.h"

JNIEXPORT jstring JNICALL Java_serialslots_internal_NativeLibrary_version(JNIEnv* env, jclass) {
  return env->NewStringUTF(SERIALSLOTS_VERSION);
}
