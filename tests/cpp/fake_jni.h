// A small stand-in for the JVM's JNI environment: the five services the
// library uses, recording what it raises and makes, so the natives can be
// driven directly, fast and under sanitizers.
#pragma once

#include <jni.h>

#include <deque>
#include <optional>
#include <string>

namespace testing_jni {

struct Raised {
  std::string className;
  std::string message;
};

class FakeJni {
 public:
  FakeJni();
  FakeJni(const FakeJni&) = delete;
  FakeJni& operator=(const FakeJni&) = delete;

  JNIEnv* env() { return &holder_.env; }

  // A Java string whose modified UTF-8 form is `bytes`.
  jstring string(const std::string& bytes);
  // The modified UTF-8 text of a string made by the library or by string().
  static std::string text(jstring string);

  std::optional<Raised> raised;
  // Conversions handed out and not yet released.
  int outstandingConversions = 0;
  int conversions = 0;
  int stringsMade = 0;
  // JNI calls other than a release made while an exception was pending.
  int callsWhilePending = 0;
  // Makes GetStringUTFChars fail as a JVM out of memory would.
  bool failConversions = false;

 private:
  struct Holder {
    JNIEnv env;
    FakeJni* owner;
  };
  static FakeJni& of(JNIEnv* env);
  void noteCall();

  static const char* JNICALL getStringUTFChars(JNIEnv*, jstring, jboolean*);
  static void JNICALL releaseStringUTFChars(JNIEnv*, jstring, const char*);
  static jstring JNICALL newStringUTF(JNIEnv*, const char*);
  static jclass JNICALL findClass(JNIEnv*, const char*);
  static jint JNICALL throwNew(JNIEnv*, jclass, const char*);

  JNINativeInterface_ functions_{};
  Holder holder_{};
  std::deque<std::string> strings_;  // stable addresses: a deque never moves them
  std::deque<std::string> classes_;
};

// Modified UTF-8 as the JVM makes it: U+0000 as C0 80, supplementary
// characters as two three-byte surrogates.
std::string modifiedUtf8(const std::u16string& text);

}  // namespace testing_jni
