package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.Param;

/**
 * Registered shutdown hooks: one row per registration, with the hook thread's name and class. The JVM loads
 * Runtime before an agent started with it can weave classes, so the registrations are seen where
 * Runtime.addShutdownHook hands them on: ApplicationShutdownHooks, loaded on the first one.
 */
@MethodPattern("java.lang.ApplicationShutdownHooks:add(java.lang.Thread)")
public final class ShutdownHook {
  static final String DESCRIPTION =
      "Shutdown Hooks\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nHook thread\n2\nClass\n4\n";
  private static final int HOOK_THREAD = 3;
  private static final int CLASS = 4;
  private static final ProbeTable TABLE = new ProbeTable(ShutdownHook.class.getName(), DESCRIPTION);

  private ShutdownHook() {}

  public static void onEnter(@Param(1) Object hook) {
    if (!(hook instanceof Thread)) {
      return;
    }
    int row = TABLE.open();
    if (row > 0) {
      TABLE.set(row, HOOK_THREAD, ((Thread) hook).getName());
      TABLE.set(row, CLASS, hook.getClass().getName());
      TABLE.closeWithoutEnd(row);
    }
  }
}
