package com.brantel.tallyscope.hostApi;

// The monitoring host's dispatch by key and clocks, as the host declares them.
public final class HostApiNatives {
  private HostApiNatives() {}

  public static native Object dispatchNullable(String key, String[] arguments);
  public static native long dispatchLong(String key);
  public static native long getUptimeMs();
  public static native long getProcessCpuTimeNs();
  public static native long getSystemCpuTimeNs();
}
