#pragma once

#include <cstdint>

// A named area of memory that the processes of one machine share. "Global\<name>" is machine-wide and
// open to every user; "Local\<name>" belongs to the caller's user. The area is zero-filled when it is
// made, and its view stays mapped until the process ends.

// The step at which opening an area failed.
enum class SharedMemoryFailure : int32_t {
  none = -1,
  noSecurityDescriptor = 0,  // no memory for the access rules that open the area to everyone
  noMapping = 1,             // the area could be neither made nor opened
  noView = 2,                // it could not be mapped into this process
};

struct SharedMemoryArea {
  void* view;  // null on failure
  bool isFirst;  // this call made the area
  SharedMemoryFailure failure;
};

// Creates or opens the area of at least `size` bytes and maps `size` bytes of it for reading and
// writing. On Linux every opener sizes the object before mapping it, so none maps a short one.
SharedMemoryArea openSharedMemory(const char* name, int32_t size);
