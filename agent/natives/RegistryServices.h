#pragma once

#include <jni.h>

#include <cstdint>

// Registry values for the host application and its tools, which may load the library without a JVM.
// Texts are NUL-terminated UTF-16. `view` 1 chooses the 64-bit view of the registry, any other value
// the 32-bit one. Every key but that of the string read lies under HKEY_LOCAL_MACHINE. Failures to open
// a key and failed string reads are logged with their Windows error code; nothing throws.

extern "C" {

// The string value as a heap block of 65536 bytes that the caller releases with free(), ending right
// after the data that was stored; null when it cannot be read. `hive`: 1 HKEY_CLASSES_ROOT,
// 2 HKEY_CURRENT_USER, 3 HKEY_LOCAL_MACHINE.
JNIEXPORT char16_t* getWinRegStringValueImpl(int32_t hive, const char16_t* key, const char16_t* name, int32_t view);
// The DWORD value; 0 when it cannot be read.
JNIEXPORT int32_t getWinRegIntValueImpl(const char16_t* key, const char16_t* name, int32_t view);
// 0, or the error code of creating the key; an existing key is success.
JNIEXPORT int32_t createWinRegKeyImpl(const char16_t* key, int32_t view);
// Stores the text as a string value with its terminator; a failed write after the key opened is silent.
JNIEXPORT void setWinRegStringValueImpl(const char16_t* key, const char16_t* name, const char16_t* value, int32_t view);
JNIEXPORT void setWinRegIntValueImpl(const char16_t* key, const char16_t* name, int32_t value, int32_t view);
// The error code of opening the key, else that of closing it after the deletion, which is not reported.
JNIEXPORT int32_t deleteWinRegValueImpl(const char16_t* key, const char16_t* name, int32_t view);

}  // extern "C"
