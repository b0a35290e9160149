#pragma once

#include <jni.h>

#include <cstdint>

// After an attach, the classes loaded before the agent came were never seen by the class-file hook. The
// attach sequence marks them (tag 1 in the retransform environment); the first call here retransforms
// them in batches and disposes of the environment, so that later calls, and every call without an
// attach, return at once. The caller does not hold "ourLock".
void retransformClassesInBatches(JNIEnv* env);

// How many classes one RetransformClasses call of that retransformation takes: `batchSizeOption`
// ("_on_attach_retransform_batch_size") when it is at least 1; otherwise the classes spread over
// `batchCountOption` ("_on_attach_retransform_batch_count") calls, 10 when that is below 1, the last call
// taking what remains. At least 1 whenever there are classes.
int32_t retransformBatchSize(int32_t classCount, int32_t batchSizeOption, int32_t batchCountOption);
