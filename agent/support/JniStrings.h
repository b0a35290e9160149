#pragma once

#include <jni.h>

#include <memory>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Java strings and string arrays to the agent's strings and back. The agent's 8-bit strings hold
// modified UTF-8 as JNI hands it out and takes it in: U+0000 is C0 80, and a character beyond U+FFFF is
// its two UTF-16 surrogates of three bytes each.

// The string's modified UTF-8; empty for null. A string whose characters cannot be had is fatal.
YString jstringToYString(JNIEnv* env, jstring string);

// A new string, or null: for a null jstring, when the characters cannot be had (logged as "error:
// GetStringUTFChars failed", with a pending exception described and cleared) and when memory runs out.
std::unique_ptr<YString> jstringToYStringOrError(JNIEnv* env, jstring string);

// The string's UTF-16 units, U+0000 included; empty for null. Characters that cannot be had are fatal.
YWideString jstringToWideString(JNIEnv* env, jstring string);

// Appends each element of `array` (a null element as the empty string), in order. Neither may be null.
void jstringArrayToVector(JNIEnv* env, jobjectArray array, YVector<YString>* strings);
// The same; a null array appends nothing.
void appendJavaStringArrayIfNotNull(JNIEnv* env, jobjectArray array, YVector<YString>* strings);

// NewStringUTF. Null for a null text, without calling JNI. A string that cannot be made (out of memory)
// gives null with the exception cleared, so the caller hands Java null.
jstring toJavaString(JNIEnv* env, const char* text);
jstring toJavaString(JNIEnv* env, const YString& text);

// A String[] of the texts; an element that cannot be made stays null. `strings` must not be null; an
// array that cannot be made is fatal.
jobjectArray toJavaStringArray(JNIEnv* env, const YVector<YString>* strings);
