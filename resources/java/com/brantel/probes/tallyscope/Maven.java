package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.OnEnterResult;
import com.brantel.probes.Param;
import com.brantel.probes.ThrownException;

/**
 * Maven mojos: one row per mojo execution, which shows as
 * "group:artifact:version:goal {execution: id}".
 */
@MethodPattern("org.apache.maven.plugin.DefaultBuildPluginManager:"
    + "executeMojo(org.apache.maven.execution.MavenSession, org.apache.maven.plugin.MojoExecution)")
public final class Maven {
  static final String DESCRIPTION =
      "Maven Mojos\n5\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nMojo\n2\nexception_str\n2\n";
  private static final int MOJO = 3;
  private static final ProbeTable TABLE = new ProbeTable(Maven.class.getName(), DESCRIPTION);

  private Maven() {}

  public static int onEnter(@Param(2) Object mojoExecution) {
    int row = TABLE.open();
    TABLE.set(row, MOJO, ProbeTable.describe(mojoExecution));
    return row;
  }

  public static void onExit(@OnEnterResult int row, @ThrownException Throwable thrown) {
    TABLE.close(row, thrown);
  }
}
