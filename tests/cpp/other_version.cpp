// A library that answers another version, as a library of another release
// found under this release's file name would.
#include "serialslots_internal_NativeLibrary.h"

JNIEXPORT jstring JNICALL Java_serialslots_internal_NativeLibrary_version(JNIEnv* env, jclass) {
  return env->NewStringUTF("0.9.0");
}
