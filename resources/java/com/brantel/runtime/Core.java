package com.brantel.runtime;

/**
 * The agent's Java side as the native agent drives it: {@link #init} once the JVM is initialised (or the
 * agent attached), and the three exit methods when the JVM dies.
 */
public final class Core {
  // The start-up values that init receives, kept for the Java side's services.
  static int portFirst;
  static int portLast;
  static String listenHost;
  static String sessionName;
  static String snapshotNameFormat;
  static String snapshotDir;
  static String profilerDir;
  static int idePort;
  static long sessionId;
  static int jbossInitArgument;
  static int telemetryPointLimit;
  static boolean oomeDumperEnabled;
  static String triggerText;

  private Core() {}

  /**
   * Receives the agent's options and the database's session identifier. Answering false makes the agent
   * end the JVM (or refuse the attach), so it answers true once the values are kept.
   *
   * @param portFirst first port of the "port=" range, -1 when none was given
   * @param portLast last port of that range
   * @param listenHost the host to listen on ("listen=")
   * @param sessionName the session name
   * @param snapshotNameFormat the snapshot name format ("snapshot_name_format=")
   * @param snapshotDir the snapshot directory ("dir="), empty when not given
   * @param profilerDir the profiler directory ("profiler_dir="), empty when not given
   * @param idePort the IDE port ("ideport="), -1 when not given
   * @param sessionId the database's session identifier
   * @param jbossInitArgument 10000 when the JVM runs JBoss, else 0
   * @param telemetryPointLimit how many telemetry points are kept
   * @param oomeDumperEnabled whether the Java side may dump the heap on out-of-memory
   * @param triggerText the generated triggers followed by the triggers file
   * @return true
   */
  public static boolean init(int portFirst, int portLast, String listenHost, String sessionName,
      String snapshotNameFormat, String snapshotDir, String profilerDir, int idePort, long sessionId,
      int jbossInitArgument, int telemetryPointLimit, boolean oomeDumperEnabled, String triggerText) {
    Core.portFirst = portFirst;
    Core.portLast = portLast;
    Core.listenHost = listenHost;
    Core.sessionName = sessionName;
    Core.snapshotNameFormat = snapshotNameFormat;
    Core.snapshotDir = snapshotDir;
    Core.profilerDir = profilerDir;
    Core.idePort = idePort;
    Core.sessionId = sessionId;
    Core.jbossInitArgument = jbossInitArgument;
    Core.telemetryPointLimit = telemetryPointLimit;
    Core.oomeDumperEnabled = oomeDumperEnabled;
    Core.triggerText = triggerText;
    return true;
  }

  /** Called first at VM death. No trigger runs on JVM exit yet, so there is nothing to do. */
  public static void runOnJvmExitTriggers() {}

  /** Called at VM death after the exit triggers. No client is told of the exit yet. */
  public static void notifyTsOnJvmExit() {}

  /**
   * Called at VM death when a snapshot on exit was asked for or a recording runs. The snapshot is not
   * written yet: its file name comes from the snapshot name format, which the Java side does not expand
   * yet.
   *
   * @param withAllocationStacks 1 when allocations were recorded with their stacks, else 0
   */
  public static void captureSnapshotOnExit(long withAllocationStacks) {}
}
