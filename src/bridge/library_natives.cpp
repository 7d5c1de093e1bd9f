// The natives of serialslots.internal: what the loader asks a library it has
// just loaded before anything else binds to it, and the lab check of the demo.
#include "lab/lab.h"
#include "serialslots_internal_NativeLibrary.h"
#include "serialslots_internal_VirtualLab.h"

JNIEXPORT jstring JNICALL Java_serialslots_internal_NativeLibrary_version(JNIEnv* env, jclass) {
  return env->NewStringUTF(SERIALSLOTS_VERSION);
}

JNIEXPORT jboolean JNICALL Java_serialslots_internal_VirtualLab_inside(JNIEnv*, jclass) {
  return seriallab::insideLab() ? JNI_TRUE : JNI_FALSE;
}
