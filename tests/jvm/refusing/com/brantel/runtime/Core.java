package com.brantel.runtime;

// A Java side that refuses to initialise; put ahead of the agent's own on the boot class path.
public final class Core {
  private Core() {}

  public static boolean init(int portFirst, int portLast, String listenHost, String sessionName,
      String snapshotNameFormat, String snapshotDir, String profilerDir, int idePort, long sessionId,
      int jbossInitArgument, int telemetryPointLimit, boolean oomeDumperEnabled, String triggerText) {
    return false;
  }
}
