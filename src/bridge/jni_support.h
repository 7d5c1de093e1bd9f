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

// A port name copied into the object itself: names are short, so the hot
// natives need no allocation. A null string, or one too long to be any slot's
// name, gives null text, which matches no slot.
class PortName {
 public:
  PortName(JNIEnv* env, jstring name) noexcept {
    const jsize length = name == nullptr ? kMaxLength + 1 : env->GetStringLength(name);
    valid_ = length <= kMaxLength;
    // Modified UTF-8 takes at most three bytes a character; text_ stays NUL-ended.
    if (valid_) env->GetStringUTFRegion(name, 0, length, text_);
  }
  PortName(const PortName&) = delete;
  PortName& operator=(const PortName&) = delete;

  const char* c_str() const noexcept { return valid_ ? text_ : nullptr; }

 private:
  static constexpr jsize kMaxLength = 15;
  char text_[3 * kMaxLength + 1] = {};
  bool valid_;
};

// The first byte of a Java string's modified UTF-8 form, 0 for "", without
// converting the rest of it.
unsigned char firstUtfByte(JNIEnv* env, jstring text) noexcept;

// Raises a java.lang.Exception with `message`. Returns ThrowNew's result,
// 0 once the exception is pending.
jint throwException(JNIEnv* env, const char* message) noexcept;

// Raises an exception of the named class; used where Java has a more precise
// class than java.lang.Exception for a caller's mistake.
jint throwNew(JNIEnv* env, const char* className, const char* message) noexcept;

}  // namespace serialslots
