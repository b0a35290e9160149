package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.OnEnterResult;
import com.brantel.probes.This;
import com.brantel.probes.ThrownException;

/**
 * Started threads: a row from Thread.start() on the starting thread (its stack in the "frame" column) until
 * the started thread ends, with the new thread's name and class.
 */
public final class Threads {
  static final String DESCRIPTION = "Threads\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\n"
      + "Name\n2\nClass\n4\nexception_str\n2\n";
  private static final int NAME = 4;
  private static final int CLASS = 5;
  static final ProbeTable TABLE = new ProbeTable(Threads.class.getName(), DESCRIPTION);

  private Threads() {}

  /** The start: a failed start (a thread started twice) ends the row at once. */
  @MethodPattern("java.lang.Thread:start()")
  public static final class Start {
    private Start() {}

    public static int onEnter(@This Object thread) {
      if (!(thread instanceof Thread)) {
        return 0;
      }
      int row = TABLE.open();
      if (row > 0) {
        TABLE.set(row, NAME, ((Thread) thread).getName());
        TABLE.set(row, CLASS, thread.getClass().getName());
      }
      return row;
    }

    public static void onExit(@This Object thread, @OnEnterResult int row, @ThrownException Throwable thrown) {
      if (thrown != null) {
        TABLE.close(row, thrown);
      } else {
        TABLE.attach(thread, row);
      }
    }
  }

  /** The end: the JVM calls Thread.exit() on a thread whose run() has returned. */
  @MethodPattern("java.lang.Thread:exit()")
  public static final class End {
    private End() {}

    public static void onEnter(@This Object thread) {
      TABLE.close(TABLE.detach(thread));
    }
  }
}
