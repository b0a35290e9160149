package com.brantel.runtime;

import java.io.File;
import java.text.SimpleDateFormat;
import java.util.Date;

/**
 * The agent's Java side as the native agent drives it: {@link #init} once the JVM is initialised (or the
 * agent attached), and the three exit methods when the JVM dies.
 */
public final class Core {
  /** The extension of snapshot files. */
  static final String SNAPSHOT_EXTENSION = ".snapshot";

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

  /**
   * Called when CPU tracing starts, before the agent switches the Callback bodies. Lines travel from the
   * instrumented code through the line native straight to the thread's record in the agent, so there is
   * nothing to prepare and they are always available.
   *
   * @return whether traced calls can carry line numbers
   */
  public static boolean setupTracing() {
    return true;
  }

  /** Called first at VM death. No trigger runs on JVM exit yet, so there is nothing to do. */
  public static void runOnJvmExitTriggers() {}

  /** Called at VM death after the exit triggers. No client is told of the exit yet. */
  public static void notifyTsOnJvmExit() {}

  /**
   * Called at VM death when a snapshot on exit was asked for or a recording runs: writes the snapshot
   * into the snapshot directory ("dir=", made when missing; else the JVM's working directory) under a name made from the
   * snapshot name format, and logs where it went or why it could not be written.
   *
   * @param withAllocationStacks 1 when allocations were recorded with their stacks, else 0
   */
  public static void captureSnapshotOnExit(long withAllocationStacks) {
    File file = snapshotFile(new Date());
    // The objects of recorded allocations carry their sites only in a memory snapshot.
    String refusal = Callback.captureSnapshot(file.getPath(), 0, withAllocationStacks != 0 ? 1L : 0L);
    if (refusal == null) {
      Callback.messageToLogFile("Snapshot on exit written: " + file.getPath());
    } else {
      Callback.messageToLogFile("error: snapshot on exit not written to " + file.getPath() + ": " + refusal);
    }
  }

  /**
   * The file of a snapshot taken at {@code time}: the name format with {sessionname} and {date}
   * replaced, characters that file names cannot hold made "-", and a number added when the name is taken.
   */
  static File snapshotFile(Date time) {
    String date = new SimpleDateFormat("yyyy-MM-dd-HH-mm-ss").format(time);
    String name = snapshotNameFormat.replace("{sessionname}", sessionName).replace("{date}", date);
    StringBuilder safe = new StringBuilder(name.length());
    for (char c : name.toCharArray()) {
      safe.append(c < ' ' || "\\/<>|\":?*".indexOf(c) >= 0 ? '-' : c);
    }
    File directory = new File(snapshotDir.isEmpty() ? System.getProperty("user.dir") : snapshotDir);
    directory.mkdirs();
    File file = new File(directory, safe + SNAPSHOT_EXTENSION);
    for (int n = 2; file.exists(); n++) {
      file = new File(directory, safe + "-" + n + SNAPSHOT_EXTENSION);
    }
    return file;
  }
}
