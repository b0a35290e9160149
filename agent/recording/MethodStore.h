#pragma once

#include <cstdint>

// The method id of a method: the row of its "method" record, found by the string ids of its five name
// parts and made when missing. Ids are handed out in blocks of 4096, the allocation pseudo-methods
// ("<<init>>") from blocks of their own; id 0 never names a method. Runs under "ourLock"; fatal
// "db is NULL" without a database.
int32_t getOrCreateMethod(const char* className, const char* methodName, const char* parameters,
                          const char* returnType, const char* sourceFile, bool isNative);

// Forgets every method id, for a test that makes a fresh database.
void resetMethodStore();
