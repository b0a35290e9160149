// A probe whose callbacks change what the methods they observe give: onEnter's row reaches onExit, which
// writes it to the probe's event table, adds 1000 to the result and, with @DiscardThrownException,
// swallows an exception for -1; the inner probe upper-cases a greeting. While the probe is inactive the
// program must run as if it were not there.
package stubs;

import com.brantel.probes.*;
import com.brantel.runtime.Callback;

@MethodPattern({"StubbedWorkload:compute(int)", "StubbedWorkload:divide(int, int)"})
@DiscardThrownException
public class ChangingProbe {
  private static final int TABLE =
      Callback.createEventTable("stubs.ChangingProbe", "Changed calls\n2\nuptime_ns\n1\nOutcome\n2\n");

  public static int onEnter() {
    return Callback.createEventTableRow(TABLE);
  }

  public static int onExit(@OnEnterResult int row, @ThrownException Throwable thrown, @ReturnValue int value) {
    Callback.setEventTableStringColumn(TABLE, row, 1, thrown == null ? "returned " + value : "threw " + thrown);
    Callback.closeEventTableRow(TABLE, row, true, null);
    return thrown == null ? value + 1000 : -1;
  }

  @MethodPattern("StubbedWorkload:greet(String)")
  public static class Greeting {
    public static String onReturn(@ReturnValue String value) {
      return value.toUpperCase();
    }
  }
}
