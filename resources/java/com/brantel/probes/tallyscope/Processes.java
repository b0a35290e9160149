package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.OnEnterResult;
import com.brantel.probes.ReturnValue;
import com.brantel.probes.This;
import com.brantel.probes.ThrownException;
import java.util.List;

/**
 * Started processes: a row from ProcessBuilder.start() (which Runtime.exec() uses as well) until a
 * waitFor() sees the process gone, with its command line and exit code. A process nobody waits for keeps
 * an open row.
 */
public final class Processes {
  static final String DESCRIPTION = "Processes\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n"
      + "Command line\n2\nExit code\n2\nexception_str\n2\n";
  private static final int COMMAND_LINE = 4;
  private static final int EXIT_CODE = 5;
  static final ProbeTable TABLE = new ProbeTable(Processes.class.getName(), DESCRIPTION);

  private Processes() {}

  /** The start: a failed start ends the row at once. */
  @MethodPattern("java.lang.ProcessBuilder:start()")
  public static final class Start {
    private Start() {}

    public static int onEnter(@This Object builder) {
      int row = TABLE.open();
      if (row > 0 && builder instanceof ProcessBuilder) {
        TABLE.set(row, COMMAND_LINE, commandLine((ProcessBuilder) builder));
      }
      return row;
    }

    public static void onExit(@OnEnterResult int row, @ReturnValue Object process,
        @ThrownException Throwable thrown) {
      if (thrown != null || process == null) {
        TABLE.close(row, thrown);
      } else {
        TABLE.attach(process, row);
      }
    }

    private static String commandLine(ProcessBuilder builder) {
      try {
        List<String> command = builder.command();
        StringBuilder text = new StringBuilder();
        for (String part : command) {
          if (text.length() > 0) {
            text.append(' ');
          }
          text.append(part);
        }
        return text.toString();
      } catch (Throwable ignored) {
        return null;
      }
    }
  }

  /**
   * The end, seen by the waitFor() methods of the platform's process class (UNIXProcess up to Java 8 on
   * Unix, ProcessImpl elsewhere); a waitFor() that timed out or was interrupted leaves the row open.
   */
  @MethodPattern({"java.lang.ProcessImpl:waitFor(*)", "java.lang.UNIXProcess:waitFor(*)"})
  public static final class Exit {
    private Exit() {}

    public static void onExit(@This Object process) {
      try {
        if (!(process instanceof Process) || ((Process) process).isAlive()) {
          return;
        }
        int row = TABLE.detach(process);
        if (row > 0) {
          TABLE.set(row, EXIT_CODE, Integer.toString(((Process) process).exitValue()));
          TABLE.close(row);
        }
      } catch (Throwable ignored) {
        // the row stays open
      }
    }
  }
}
