package com.brantel.runtime;

import sun.misc.Unsafe;

/**
 * The Java class that the agent registers its natives on, and that instrumented code calls.
 *
 * <p>The agent registers all natives below in one call at VM start, so the class declares exactly the
 * natives of the agent's registration table, each with the table's signature, in the table's order.
 *
 * <p>Instrumented code calls the four entry methods {@link #bzpMethodEntry}, {@link #bzpMethodExit},
 * {@link #bzpMethodLine} and {@link #bzpInit}. Their own bodies are in force while no recording needs them.
 * When a recording mode starts or stops, the agent redefines this class with the matching private body
 * (methodEntry_A, init_CF8, ...) copied over each entry method, so no other class has to change. On Java 9
 * and later the agent rewrites sun/misc/Unsafe to jdk/internal/misc/Unsafe in this class as it loads.
 */
public final class Callback {
  /** The agent's adaptive tracing filter reports excluded methods below this identifier. */
  private static final int EXCLUDABLE_METHOD_IDS = 8000000;
  /** The stripes of one native counter lie 4096 counters of 8 bytes apart. */
  private static final int COUNTER_STRIPE_SHIFT = 15;

  /** Set by {@link #ensureUnsafeCreated}, which the agent calls before it starts a counting mode. */
  private static volatile Unsafe unsafe;
  /**
   * One bit per method identifier excluded by the adaptive filter, made at the first exclusion. The
   * adaptive bodies call neither the entry nor the exit native for such a method: the agent no longer
   * expects its exits.
   */
  private static volatile long[] excludedMethods;

  private Callback() {}

  // The natives, in the order of the agent's registration table.

  public static native void addProbePath(String path);

  public static native void addSnapshotInfo(String path, long kind);

  public static native void advanceGeneration(String description);

  public static native Object callObjectMethod(Class<?> type, Object object, long methodId, long primitiveMask,
      Object[] arguments, long[] primitiveArguments);

  public static native long callPrimOrVoidMethod(Class<?> type, Object object, long methodId, long primitiveMask,
      int typeCode, Object[] arguments, long[] primitiveArguments);

  public static native String captureSnapshot(String path, int progressSocket, long flags);

  public static native void clearAllocationData();

  public static native void clearCpuData();

  public static native void clearEventTables(String tableNames);

  public static native void clearExceptions();

  public static native void clearMonitorData();

  public static native void closeEventTableRow(int tableId, int rowKey, boolean keep, String text);

  public static native void correctUptimeMs(long jvmUptimeMs);

  public static native int createEventTable(String probeClassName, String description);

  public static native int createEventTableRow(int tableId);

  public static native void createMarker(int port, int type);

  public static native long createObjectMap();

  public static native void deleteEventTableRow(int tableId, int rowKey);

  public static native void deleteObjectMap(long map);

  public static native long dispatchLong(String key);

  public static native Object dispatchNullable(String key, String[] arguments);

  public static native void excludeThreadFromAsyncSampling();

  public static native Class<?> findLoadedClass(String name);

  public static native int findPropertyRecordIndex(int key);

  public static native boolean findSnapshot(String path);

  public static native boolean forceGarbageCollectionJvmti();

  public static native int getAllocationRecordingSettingsRecordEach();

  public static native int getAllocationRecordingSettingsSizeLimit();

  public static native long getCapabilities();

  public static native String getDatabaseStatistics();

  public static native String getEventTableDescription(int tableId);

  public static native int[] getExitedProcesses();

  public static native long getFieldId(Class<?> type, String name, String signature, boolean isStatic);

  public static native Object getFieldObjectValue(Class<?> type, Object object, long fieldId);

  public static native long getFieldPrimValue(Class<?> type, Object object, long fieldId, int typeCode);

  public static native int[] getFreePorts(int from, int to);

  public static native int[] getFrozenThreadsImpl(long thresholdMs);

  public static native long getMethodId(Class<?> type, String name, String signature, boolean isStatic);

  public static native long getNativeAllocationCounterResult();

  public static native int getPhase();

  public static native String[] getProbes(int mode);

  public static native long getProcessCpuTimeNs();

  public static native long[] getProcessCpuTimeSplitNs();

  public static native int getProcessID(long handle);

  public static native long getProcessMemoryUsage();

  public static native long getProcessPhysicalMemoryUsage();

  public static native long getStatus();

  public static native int getStrID(String text);

  public static native long getSystemCpuTimeNs();

  public static native int getTelemetryPeriodMs();

  public static native long getTimeNsForTracing();

  public static native String getTopEventTableNames();

  public static native long getTotalCreatedObjectSize();

  public static native long getTotalExceptionsThrown();

  public static native long getUptimeMs();

  public static native boolean isLiveObjectId(long id);

  public static native boolean isProbeOn(String probeClassName);

  public static native void message(String category, String text);

  public static native void messageToLogFile(String text);

  public static native void messageToStderr(String text);

  public static native void messageToStdout(String text);

  public static native void messageToTable(String category, String text, String detail);

  public static native long objectGetId(Object object);

  public static native int objectMapGet(long map, Object object);

  public static native int objectMapPut(long map, Object object, int value, boolean conditional, int expected);

  public static native void onLoadNativeLibrary();

  public static native void onUncaughtException();

  public static native byte[] patchTemplateClass(String[] arguments);

  public static native String registerProbesByBytecode(byte[][] classes, boolean define, boolean noRetransform);

  public static native String registerProbesByName(String[] probeClassNames);

  public static native void registerProcessExitListener(long handle, int pid);

  public static native void retransformClassesLoadedBeforeAgentAttached();

  public static native void setEventTableInt32Column(int tableId, int rowKey, int column, int value);

  public static native void setEventTableLongColumn(int tableId, int rowKey, int column, long value);

  public static native void setEventTableStringColumn(int tableId, int rowKey, int column, String value);

  public static native void setFieldObjectValue(Class<?> type, Object object, long fieldId, Object value);

  public static native void setMinimumRecordedLastingEventTime(int tableId, int milliseconds);

  public static native String setProbeActivityModes(String[] probeClassNames, int[] modes);

  public static native int setProperty(String key, String value);

  public static native void setPropertyByRecordIndex(int row, int valueId);

  public static native boolean shouldSkipThread();

  public static native String startAllocationRecording(int recordEach, int sizeLimit, long mode, String settings);

  public static native String startCpuProfiling(long mode, String settings);

  public static native void startExceptionProfiling();

  public static native String startMonitorProfiling();

  public static native void startStackTelemetry();

  public static native void stopAllocationRecording();

  public static native void stopCpuProfiling(boolean report);

  public static native void stopExceptionProfiling();

  public static native void stopMonitorProfiling();

  public static native void stopStackTelemetry();

  public static native void storeTelemetryRecord(int[] properties, int[] values, int[] keys, int[] counts);

  public static native void throwException(Class<?> exceptionClass);

  public static native void unregisterProbes(String[] probeClassNames);

  public static native String validateMethodPattern(String pattern);

  public static native void writeTables(int socket, int tableMask, int[] sinceGenerations);

  public static native int bzpInit0(Object object, int cachedNode, int classId, short line);

  public static native long bzpMethodEntry0(int methodId);

  public static native void bzpMethodExit0(int methodId, long token);

  public static native void bzpMethodLine0(int line);

  // The entry methods of instrumented code, with the bodies that are in force while no recording needs
  // them. The arguments: the method's identifier and the address of its call counter; the token that
  // the entry answered; the allocated object, the allocation site that the previous call answered, the
  // identifier of the allocated class, the line and the address of the allocation point's counter.

  public static long bzpMethodEntry(int methodId, long callCounter) {
    return 0;
  }

  public static void bzpMethodExit(int methodId, long token) {}

  public static void bzpMethodLine(int line, long token) {}

  public static int bzpInit(Object object, int cachedNode, int classId, short line, long allocationCounter) {
    return cachedNode;
  }

  // The bodies that the agent copies over the entry methods: tracing with the adaptive filter (_A) or
  // without (_NA), line tracing, allocation recording, and call and allocation counting with 4 or 8
  // counter stripes (_CF4, _CF8). They are never called under their own names.

  private static long methodEntry_A(int methodId, long callCounter) {
    return isExcluded(methodId) ? 0 : bzpMethodEntry0(methodId);
  }

  private static long methodEntry_NA(int methodId, long callCounter) {
    return bzpMethodEntry0(methodId);
  }

  private static long methodEntry_CF4(int methodId, long callCounter) {
    count(callCounter, 4);
    return 0;
  }

  private static long methodEntry_CF8(int methodId, long callCounter) {
    count(callCounter, 8);
    return 0;
  }

  private static void methodExit_A(int methodId, long token) {
    if (!isExcluded(methodId)) {
      bzpMethodExit0(methodId, token);
    }
  }

  private static void methodExit_NA(int methodId, long token) {
    bzpMethodExit0(methodId, token);
  }

  private static void methodLine(int line, long token) {
    bzpMethodLine0(line);
  }

  private static int init_A(Object object, int cachedNode, int classId, short line, long allocationCounter) {
    return bzpInit0(object, cachedNode, classId, line);
  }

  private static int init_CF4(Object object, int cachedNode, int classId, short line, long allocationCounter) {
    count(allocationCounter, 4);
    return cachedNode;
  }

  private static int init_CF8(Object object, int cachedNode, int classId, short line, long allocationCounter) {
    count(allocationCounter, 8);
    return cachedNode;
  }

  /**
   * Adds 1 to one stripe of a native counter, the stripe of the calling thread, so that threads counting
   * the same method or allocation point mostly write different words. The agent sums the stripes.
   */
  private static void count(long counter, int stripes) {
    long stripe = Thread.currentThread().getId() & (stripes - 1);
    unsafe.getAndAddLong(null, counter + (stripe << COUNTER_STRIPE_SHIFT), 1L);
  }

  private static boolean isExcluded(int methodId) {
    long[] excluded = excludedMethods;
    int word = methodId >>> 6;
    return excluded != null && word < excluded.length && (excluded[word] & (1L << methodId)) != 0;
  }

  /**
   * Called by the agent before it starts call or allocation counting, whose bodies write the native
   * counters directly. The agent refuses the mode when this answers false, and treats an exception as a
   * fatal error, so every failure is answered with false.
   *
   * @return whether native memory can be written
   */
  public static boolean ensureUnsafeCreated() {
    try {
      unsafe = Unsafe.getUnsafe();
      return true;
    } catch (Throwable refused) {
      return false;
    }
  }

  /**
   * Called by the method-entry native when the adaptive filter has excluded the method: from now on the
   * adaptive bodies skip it.
   *
   * @param methodId the method's identifier, below 8,000,000
   */
  public static synchronized void excludeByAdaptiveTracing(int methodId) {
    if (methodId < 0 || methodId >= EXCLUDABLE_METHOD_IDS) {
      return;
    }
    long[] excluded = excludedMethods;
    if (excluded == null) {
      excluded = new long[EXCLUDABLE_METHOD_IDS / 64];
      excludedMethods = excluded;
    }
    excluded[methodId >>> 6] |= 1L << methodId;
  }
}
