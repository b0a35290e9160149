#pragma once

#include <jni.h>

// Natives of the host's com.brantel.Natives over an ObjectStorage: the storage's address is the Java
// long handle. Every index and count from Java is checked before use; a refused one is logged through
// the fatal-error path and answered with java.lang.RuntimeException "assertion failed in native code;
// see agent log for detail", and the call writes nothing.

extern "C" {

JNIEXPORT jlong JNICALL Java_com_brantel_Natives_createStorage(JNIEnv* env, jclass natives, jint objectCount);
JNIEXPORT void JNICALL Java_com_brantel_Natives_deleteStorage(JNIEnv* env, jclass natives, jlong storage);

// One object each.
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getGenerationImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                  jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getRefCountImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getRefImpl(JNIEnv* env, jclass natives, jlong storage, jint object,
                                                           jint refIndex);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getPrimitiveDataPositionImpl(JNIEnv* env, jclass natives,
                                                                              jlong storage, jint object);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getOIDImpl(JNIEnv* env, jclass natives, jlong storage, jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getCrc32(JNIEnv* env, jclass natives, jlong storage, jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getAllocatorFrameImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                      jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getAllocatorTrnImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                    jint object);
JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getAllocatorTimestampMs(JNIEnv* env, jclass natives, jlong storage,
                                                                         jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getArrayLengthImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                   jint object);
JNIEXPORT jint JNICALL Java_com_brantel_Natives_getDominatorImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                 jint object);

JNIEXPORT void JNICALL Java_com_brantel_Natives_setNewRefCount(JNIEnv* env, jclass natives, jlong storage, jint object,
                                                               jint count);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setRefImpl(JNIEnv* env, jclass natives, jlong storage, jint object,
                                                           jint target, jint refIndex);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setAllocatorImpl(JNIEnv* env, jclass natives, jlong storage,
                                                                 jint object, jint frame, jint trn, jlong timestampMs);

// Entries 0 to count - 1 of the arrays, read in place.
JNIEXPORT void JNICALL Java_com_brantel_Natives_setGenerations(JNIEnv* env, jclass natives, jlong storage,
                                                               jintArray objects, jintArray generations, jint count);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setArrayLengths(JNIEnv* env, jclass natives, jlong storage,
                                                                jintArray objects, jintArray lengths, jint count);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setCrc32(JNIEnv* env, jclass natives, jlong storage, jintArray objects,
                                                         jintArray crcs, jint count);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setPrimitiveDataPositions(JNIEnv* env, jclass natives, jlong storage,
                                                                          jintArray objects, jlongArray positions,
                                                                          jint count);
JNIEXPORT void JNICALL Java_com_brantel_Natives_setOIDs(JNIEnv* env, jclass natives, jlong storage, jintArray objects,
                                                        jlongArray oids, jint count);
// Entry k with sources[k] == 0 reserves refIndexes[k] references for object targets[k]; any other entry
// stores targets[k] as reference refIndexes[k] of sources[k], or logs a warning for a slot the list lacks.
JNIEXPORT void JNICALL Java_com_brantel_Natives_setRefs(JNIEnv* env, jclass natives, jlong storage, jintArray sources,
                                                        jintArray targets, jintArray refIndexes, jint count);

JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getStorageStatisticsImpl(JNIEnv* env, jclass natives, jlong storage);

// Reachability over the storage's references in object bitsets (int[] arrays, bit (i & 31) of element
// i >> 5 for object i), read and written in place. Every root, object and reference must be an object of
// the storage covered by the bitset it marks; an array the JVM cannot give in place is
// java.lang.OutOfMemoryError.

// marks gains every object reachable from the roots through objects it did not hold before.
JNIEXPORT void JNICALL Java_com_brantel_Natives_f(JNIEnv* env, jclass natives, jlong storage, jintArray roots,
                                                  jintArray marks);
// marks gains every object reachable from those of startSet that it does not hold, without following
// reference excludedRefIndex of excludedObject, nor reference r of an object whose reference 0 is k for
// a pair (k, r) of excludedFields.
JNIEXPORT void JNICALL Java_com_brantel_Natives_fStrong(JNIEnv* env, jclass natives, jlong storage,
                                                        jintArray startSet, jintArray marks, jintArray excludedFields,
                                                        jint excludedObject, jint excludedRefIndex);
// result becomes set with everything the roots no longer reach without it: what set keeps alive.
JNIEXPORT void JNICALL Java_com_brantel_Natives_f0m(JNIEnv* env, jclass natives, jlong storage, jintArray set,
                                                    jintArray roots, jintArray result);
// The same for the set objects[from] to objects[to - 1].
JNIEXPORT void JNICALL Java_com_brantel_Natives_f0o(JNIEnv* env, jclass natives, jlong storage, jintArray objects,
                                                    jint from, jint to, jintArray roots, jintArray result);

}  // extern "C"
