// A probe that reports every call it observes as a row of its own event table: the method, its
// arguments and how it ended. The table is made when the JVM initialises the probe class, that is at the
// first woven call.
package weaving;

import com.brantel.probes.*;
import com.brantel.runtime.Callback;

import java.util.Arrays;

@MethodPattern({"WovenWorkload:*(String)", "-WovenWorkload:skipped(*)", "WovenWorkload:divide(int, int)"})
public class RowProbe {
  private static final int TABLE = Callback.createEventTable(
      "weaving.RowProbe", "Woven calls\n4\nuptime_ns\n1\nMethod\n2\nArguments\n2\nOutcome\n2\n");

  public static int onEnter(@MethodName String method, @Params Object[] arguments) {
    final int row = Callback.createEventTableRow(TABLE);
    Callback.setEventTableStringColumn(TABLE, row, 1, method);
    Callback.setEventTableStringColumn(TABLE, row, 2, Arrays.toString(arguments));
    return row;
  }

  public static void onReturn(@OnEnterResult int row, @ReturnValue Object value) {
    Callback.setEventTableStringColumn(TABLE, row, 3, "returned " + value);
    Callback.closeEventTableRow(TABLE, row, true, null);
  }

  public static void onUncaughtException(@OnEnterResult int row, @ThrownException Throwable thrown) {
    Callback.setEventTableStringColumn(TABLE, row, 3, "threw " + thrown);
    Callback.closeEventTableRow(TABLE, row, true, null);
  }
}
