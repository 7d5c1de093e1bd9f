#include "bridge/jni_support.h"

namespace serialslots {

jint throwNew(JNIEnv* env, const char* className, const char* message) noexcept {
  jclass exceptionClass = env->FindClass(className);
  // FindClass failing leaves its own error pending, which Java then sees.
  if (exceptionClass == nullptr) return -1;
  return env->ThrowNew(exceptionClass, message);
}

unsigned char firstUtfByte(JNIEnv* env, jstring text) noexcept {
  char first[4] = {};
  if (env->GetStringLength(text) > 0) env->GetStringUTFRegion(text, 0, 1, first);
  return static_cast<unsigned char>(first[0]);
}

jint throwException(JNIEnv* env, const char* message) noexcept {
  return throwNew(env, "java/lang/Exception", message);
}

}  // namespace serialslots
