// The two JNI helpers every native uses: converting a Java string for the
// length of one call, and raising an exception.
#pragma once

#include <jni.h>

namespace serialslots {

// Modified UTF-8 text of a Java string, released when the guard goes out of
// scope, on every path. A null Java string gives null text and is not a
// failure; a failed conversion leaves the JVM's error pending.
class ScopedUtfChars {
 public:
  ScopedUtfChars(JNIEnv* env, jstring string) noexcept
      : env_(env),
        string_(string),
        chars_(string == nullptr ? nullptr : env->GetStringUTFChars(string, nullptr)) {}
  ~ScopedUtfChars() {
    if (chars_ != nullptr) env_->ReleaseStringUTFChars(string_, chars_);
  }
  ScopedUtfChars(const ScopedUtfChars&) = delete;
  ScopedUtfChars& operator=(const ScopedUtfChars&) = delete;

  const char* c_str() const noexcept { return chars_; }
  // The JVM could not convert the string (an OutOfMemoryError is pending).
  bool failed() const noexcept { return string_ != nullptr && chars_ == nullptr; }

 private:
  JNIEnv* env_;
  jstring string_;
  const char* chars_;
};

// Raises a java.lang.Exception with `message`. Returns ThrowNew's result,
// 0 once the exception is pending.
jint throwException(JNIEnv* env, const char* message) noexcept;

// Raises an exception of the named class; used where Java has a more precise
// class than java.lang.Exception for a caller's mistake.
jint throwNew(JNIEnv* env, const char* className, const char* message) noexcept;

}  // namespace serialslots
