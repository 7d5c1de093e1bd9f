#include "fake_jni.h"

#include <cstring>

namespace testing_jni {

FakeJni::FakeJni() {
  functions_.GetStringUTFChars = &getStringUTFChars;
  functions_.ReleaseStringUTFChars = &releaseStringUTFChars;
  functions_.NewStringUTF = &newStringUTF;
  functions_.FindClass = &findClass;
  functions_.ThrowNew = &throwNew;
  holder_.env.functions = &functions_;
  holder_.owner = this;
}

FakeJni& FakeJni::of(JNIEnv* env) { return *reinterpret_cast<Holder*>(env)->owner; }

void FakeJni::noteCall() {
  if (raised) ++callsWhilePending;
}

jstring FakeJni::string(const std::string& bytes) {
  strings_.push_back(bytes);
  return reinterpret_cast<jstring>(&strings_.back());
}

std::string FakeJni::text(jstring string) { return *reinterpret_cast<std::string*>(string); }

const char* FakeJni::getStringUTFChars(JNIEnv* env, jstring string, jboolean* isCopy) {
  FakeJni& fake = of(env);
  fake.noteCall();
  if (fake.failConversions) {
    fake.raised = Raised{"java/lang/OutOfMemoryError", ""};
    return nullptr;
  }
  ++fake.conversions;
  ++fake.outstandingConversions;
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  // A private copy, so a use after release shows up under the sanitizers.
  const std::string& bytes = *reinterpret_cast<std::string*>(string);
  char* copy = new char[bytes.size() + 1];
  std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
  return copy;
}

void FakeJni::releaseStringUTFChars(JNIEnv* env, jstring, const char* chars) {
  --of(env).outstandingConversions;
  delete[] chars;
}

jstring FakeJni::newStringUTF(JNIEnv* env, const char* bytes) {
  FakeJni& fake = of(env);
  fake.noteCall();
  ++fake.stringsMade;
  return fake.string(bytes);
}

jclass FakeJni::findClass(JNIEnv* env, const char* name) {
  FakeJni& fake = of(env);
  fake.noteCall();
  fake.classes_.push_back(name);
  return reinterpret_cast<jclass>(&fake.classes_.back());
}

jint FakeJni::throwNew(JNIEnv* env, jclass type, const char* message) {
  FakeJni& fake = of(env);
  fake.noteCall();
  fake.raised = Raised{*reinterpret_cast<std::string*>(type), message};
  return 0;
}

std::string modifiedUtf8(const std::u16string& text) {
  std::string bytes;
  for (char16_t unit : text) {
    if (unit != 0 && unit < 0x80) {
      bytes += static_cast<char>(unit);
    } else if (unit < 0x800) {
      bytes += static_cast<char>(0xC0 | (unit >> 6));
      bytes += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      bytes += static_cast<char>(0xE0 | (unit >> 12));
      bytes += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return bytes;
}

}  // namespace testing_jni
