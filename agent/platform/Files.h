#pragma once

#include <cstdint>
#include <cstdio>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Paths are UTF-8. Every file is opened without text translation (streams: as the mode says), without
// sharing restrictions, and not inherited by child processes. Opens that write refuse a symlink in the
// path's last component on Linux, so a link planted in a shared directory is never followed. New files
// are readable and writable by everyone the umask allows. Failures come back as -1, null or false.

// The OS handle of an open file: the descriptor itself on Linux, the HANDLE on Windows.
using FileHandle = intptr_t;

// Write only, created or truncated.
int32_t openFileForWrite(const YString& path);
// Write only, created; fails when the path exists.
int32_t openFileCreateNew(const YString& path);
// Read and write, created or truncated.
int32_t openFileReadWrite(const YString& path);
// Write only, neither created nor truncated: writing starts at offset 0 over the old contents.
int32_t openExistingFileForWrite(const YString& path);
// Read only.
int32_t openFileForRead(const YString& path);
// A stream in the C library's mode text ("r", "rb", "a", "wb", "r+" ...).
FILE* openFileStream(const YString& path, const char* mode);
bool deleteFile(const YString& path);

// Up to `count` bytes at the descriptor's offset: the number read, 0 at the end, -1 on an error.
int32_t readFile(int32_t fd, void* buffer, int32_t count);
// True when all `count` bytes were written.
bool writeFile(int32_t fd, const void* data, int32_t count);
// Moves the descriptor to `offset` from the start; the new offset, or -1.
int64_t seekFile(int32_t fd, int64_t offset);
void closeFile(int32_t fd);
FileHandle fileHandleOf(int32_t fd);
// True when the descriptor is open on a regular file on disk (not a device, pipe or directory).
bool isRegularFile(int32_t fd);
// Sets the file's end at `length` and leaves the file offset there; true when the end was set.
bool setFileLength(FileHandle file, int64_t length);

// The size in bytes; -1 when the path cannot be examined or is a directory.
int64_t getFileSize(const YString& path);
bool isDirectory(const YString& path);
// Creates one directory; its parent must exist. False when it was not created (it may exist already).
bool createDirectory(const YString& path);
// Appends the name of every entry of `directory` (which ends with a separator), "." and ".." included;
// nothing when it cannot be listed.
void listDirectory(const YString& directory, YVector<YString>& names);

// Lets every user read the file (Windows: read and execute). Every failure is silent.
void grantFileAccessToEveryone(const YWideString& path);
// The absolute form of the path with "." and ".." resolved; a copy of the path when that fails.
YString getFullPath(const YString& path);
