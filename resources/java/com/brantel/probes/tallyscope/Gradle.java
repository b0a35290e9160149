package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.OnEnterResult;
import com.brantel.probes.Param;
import com.brantel.probes.ThrownException;

/**
 * Gradle tasks: one row per task whose actions run, through the executer that runs every task's actions
 * (its first argument is the task, which shows as "task ':path:name'").
 */
@MethodPattern("org.gradle.api.internal.tasks.execution.ExecuteActionsTaskExecuter:"
    + "execute(org.gradle.api.internal.TaskInternal, *)")
public final class Gradle {
  static final String DESCRIPTION =
      "Gradle Tasks\n5\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nTask\n2\nexception_str\n2\n";
  private static final int TASK = 3;
  private static final ProbeTable TABLE = new ProbeTable(Gradle.class.getName(), DESCRIPTION);

  private Gradle() {}

  public static int onEnter(@Param(1) Object task) {
    int row = TABLE.open();
    TABLE.set(row, TASK, ProbeTable.describe(task));
    return row;
  }

  public static void onExit(@OnEnterResult int row, @ThrownException Throwable thrown) {
    TABLE.close(row, thrown);
  }
}
