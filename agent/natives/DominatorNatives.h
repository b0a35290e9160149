#pragma once

#include <jni.h>

// The host's dominator computations (com.brantel.Natives). dc turns an input graph file into a result
// file, every outcome a return code and never a Java exception of its own; computeDominatorsImpl fills
// the immediate dominators of an object storage through those files.

extern "C" {

// Null strings stand for empty ones; the temporary directory serves the low-memory algorithm.
JNIEXPORT jint JNICALL Java_com_brantel_Natives_dc(JNIEnv* env, jclass natives, jstring inputFile, jstring outputFile,
                                                   jstring algorithm, jstring tempDirectory);

// Fills the storage's immediate dominators for the objects of `selected` (an object bitset) from the
// roots: from idomFile when it was kept for this very computation, else by writing inputFile, calling
// runnable.run() on this thread to turn it into outputFile, and reading that back. A result read back
// is kept for reuse under a fingerprint of the computation (outputFile + ".fingerprint"). Failures are
// java.lang.RuntimeException "dc: input file creation failed", "dc: run() not found" or "dc: read
// error"; an exception of run() reaches the caller as it is. A null runnable, array or storage is a
// broken invariant, answered through the barrier.
JNIEXPORT void JNICALL Java_com_brantel_Natives_computeDominatorsImpl(JNIEnv* env, jclass natives, jstring inputFile,
                                                                      jstring outputFile, jstring idomFile,
                                                                      jobject runnable, jlong storage,
                                                                      jintArray roots, jintArray selected);

}  // extern "C"
