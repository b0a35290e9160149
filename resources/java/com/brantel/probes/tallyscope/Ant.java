package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.OnEnterResult;
import com.brantel.probes.This;
import com.brantel.probes.ThrownException;

/** Ant targets: one row per executed target, from its start to its end, with the failure that ended it. */
@MethodPattern("org.apache.tools.ant.Target:execute()")
public final class Ant {
  static final String DESCRIPTION =
      "Ant Targets\n5\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nTarget\n2\nexception_str\n2\n";
  private static final int TARGET = 3;
  private static final ProbeTable TABLE = new ProbeTable(Ant.class.getName(), DESCRIPTION);

  private Ant() {}

  public static int onEnter(@This Object target) {
    // A target shows as its name. The nameless one is Ant's implicit target, which runs the tasks outside
    // any target while the build file is read: not a target of the build.
    String name = ProbeTable.describe(target);
    if (name.isEmpty()) {
      return 0;
    }
    int row = TABLE.open();
    TABLE.set(row, TARGET, name);
    return row;
  }

  public static void onExit(@OnEnterResult int row, @ThrownException Throwable thrown) {
    TABLE.close(row, thrown);
  }
}
