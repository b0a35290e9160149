package com.brantel;

// The monitoring host's natives over an opened heap snapshot, as the host declares them. A storage is the
// long handle createStorage returns; objects are numbered 1 to objectCount, 0 standing for none.
public final class Natives {
  private Natives() {}

  public static native long createStorage(int objectCount);
  public static native void deleteStorage(long storage);

  public static native int getGenerationImpl(long storage, int object);
  public static native int getRefCountImpl(long storage, int object);
  public static native int getRefImpl(long storage, int object, int refIndex);
  public static native long getPrimitiveDataPositionImpl(long storage, int object);
  public static native long getOIDImpl(long storage, int object);
  public static native int getCrc32(long storage, int object);
  public static native int getAllocatorFrameImpl(long storage, int object);
  public static native int getAllocatorTrnImpl(long storage, int object);
  public static native long getAllocatorTimestampMs(long storage, int object);
  public static native int getArrayLengthImpl(long storage, int object);
  public static native int getDominatorImpl(long storage, int object);

  public static native void setNewRefCount(long storage, int object, int count);
  public static native void setRefImpl(long storage, int object, int target, int refIndex);
  public static native void setAllocatorImpl(long storage, int object, int frame, int trn, long timestampMs);

  public static native void setGenerations(long storage, int[] objects, int[] generations, int count);
  public static native void setArrayLengths(long storage, int[] objects, int[] lengths, int count);
  public static native void setCrc32(long storage, int[] objects, int[] crcs, int count);
  public static native void setPrimitiveDataPositions(long storage, int[] objects, long[] positions, int count);
  public static native void setOIDs(long storage, int[] objects, long[] oids, int count);
  // Entry k with sources[k] == 0 reserves refIndexes[k] references for object targets[k]; any other entry
  // stores targets[k] as reference refIndexes[k] of object sources[k].
  public static native void setRefs(long storage, int[] sources, int[] targets, int[] refIndexes, int count);

  public static native String getStorageStatisticsImpl(long storage);

  // Immediate dominators of the graph in inputFile, written to outputFile; the answer is a return code.
  public static native int dc(String inputFile, String outputFile, String algorithm, String tempDir);

  // Fills the storage's immediate dominators of the objects in the bitset selected: from idomFile when it
  // was kept for this computation, else by writing inputFile and calling runnable.run(), which turns it
  // into outputFile, on this thread.
  public static native void computeDominatorsImpl(String inputFile, String outputFile, String idomFile,
      Object runnable, long storage, int[] roots, int[] selected);

  // Searches over the references, answered in object bitsets (bit i & 31 of element i >> 5 for object i).
  public static native void f(long storage, int[] roots, int[] marks);
  public static native void fStrong(long storage, int[] startSet, int[] marks, int[] excludedFields,
      int excludedObject, int excludedRefIndex);
  public static native void f0m(long storage, int[] set, int[] roots, int[] result);
  public static native void f0o(long storage, int[] objects, int from, int to, int[] roots, int[] result);

  // Fields and methods by JNI identifiers; primitive values travel as 64-bit patterns chosen by a type
  // code, the character of a JVM type descriptor.
  public static native long getFieldId(Class<?> type, String name, String signature, boolean isStatic);
  public static native long getMethodId(Class<?> type, String name, String signature, boolean isStatic);
  public static native Object getFieldObjectValue(Class<?> type, Object object, long fieldId);
  public static native void setFieldObjectValue(Class<?> type, Object object, long fieldId, Object value);
  public static native long getFieldPrimValue(Class<?> type, Object object, long fieldId, int typeCode);
  public static native void setFieldPrimValue(Class<?> type, Object object, long fieldId, int typeCode, long value);
  public static native Object callObjectMethod(Class<?> type, Object object, long methodId, long primitiveMask,
      Object[] arguments, long[] primitiveArguments);
  public static native long callPrimOrVoidMethod(Class<?> type, Object object, long methodId, long primitiveMask,
      int typeCode, Object[] arguments, long[] primitiveArguments);

  // A long[] filled from a binary file of little-endian values; small queries; an opaque native handle.
  public static native void readLongArrayFromFile(String path, long[] array);
  public static native boolean isLivePid(int pid);
  public static native int getPid();
  public static native int getFreePort(int from, int to);
  public static native String getPlatformTempDir();
  public static native boolean matches(String pattern, String text);
  public static native long getSystemPhysicalMemorySize();
  public static native long createDatabase();
  public static native void deleteDatabaseImpl(long handle);

  // Processes, markers and the machine.
  public static native String getHostName();
  public static native void createMutex();
  public static native String getCommandLineByPid(int pid);
  public static native String getSessionNameByCommandLine(int pid);
  public static native int[] getSpecialJavaPids();
  public static native boolean is64BitMachineImpl();
  public static native String validateStartupOptions(String options);
  public static native int getProcessBitnessImpl(int pid);
  public static native String getProcessOwner(int pid);
  public static native String validateMethodPattern(String pattern);
  public static native void messageToLogFile(String text);
  public static native boolean isAdministrator();
  public static native int[] runAsAdministratorImpl(String file, String parameters, boolean wait, boolean hidden);
  public static native String getLogFilePath();
  public static native long getOtherProcessCpuTimeNs(int pid);
  public static native long getTimeNsForTracing();
  public static native String getPlatform();
  public static native String getProcessPathByPid(int pid);
  public static native int[] fillMarked(int typeMask);
  public static native String getSessionNameFromMarker(int pid);
  public static native int getProcessID(long processHandle);
  public static native int getXResolutionWindowsImpl();
  public static native byte[] retransformClass(String className, byte[] classBytes);
}
