#pragma once
// Windows x64 flavour of the JDK's machine-dependent JNI definitions, used in place of include/linux/jni_md.h.
#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall
typedef int jint;
typedef long long jlong;
typedef signed char jbyte;
