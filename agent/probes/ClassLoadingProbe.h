#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"

class DB;

// The built-in probe "com.brantel.probes.builtin.ClassLoading": a row of its "Class Loading" event table
// for every class the JVM prepares and for every class it unloads, while the probe is active (On, or Auto
// while CPU sampling or tracing runs). A prepared class is tagged in the class-loading environment with a
// heap copy of its name, which that environment's ObjectFree hands back when the class is unloaded; the
// unloads wait in a queue until the next drain turns them into rows.

// Makes the event table and binds it to the probe's name; nothing when it exists. A table that cannot be
// made is logged and left to a later registration. Takes "ourLock", so never under probeRegistryLock().
void createClassLoadingProbe(const YString& probeClassName);
// The ClassPrepare event of a class, on the loading thread.
void recordClassLoadedEvent(JNIEnv* env, jclass klass);
// The ObjectFree event of a tagged class: `nameTag` is the address of the heap copy of its name, which
// this call takes over. Any thread; no JNI.
void recordClassUnloadedEvent(int64_t nameTag);
// Writes the queued unloads as rows, after replaying every thread's buffer so that the loads recorded so
// far come first. The caller holds "ourLock". Runs before every table write once the table exists, and
// at every telemetry tick.
void drainClassLoadingQueue(const YCriticalSectionLock& held, DB& database);

// Forgets the table, the probe's name and the queued unloads, for a test that makes a fresh database.
void forgetClassLoadingProbeForTest();
