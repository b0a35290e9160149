package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.OnEnterResult;
import com.brantel.probes.ReturnValue;
import com.brantel.probes.ThrownException;

/**
 * TestNG tests: one row per invocation of a test method, through the invoker that runs one invocation with
 * its configuration methods and returns its result (TestNG 6 "Invoker", TestNG 7 "TestInvoker", which
 * moved to the package "invokers" in 7.5). The result shows as
 * "[TestResult name=<test> status=<status> method=<Class>.<test>()[pri:0, instance:...] ...]": the class,
 * the name and the outcome are read from it.
 */
@MethodPattern({
    "org.testng.internal.Invoker:invokeMethod(*) org.testng.ITestResult",
    "org.testng.internal.TestInvoker:invokeMethod(*) org.testng.ITestResult",
    "org.testng.internal.invokers.TestInvoker:invokeMethod(*) org.testng.ITestResult"})
public final class TestNg {
  static final String DESCRIPTION = "TestNG Tests\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\n"
      + "Test class\n2\nTest\n2\nOutcome\n2\nexception_str\n2\n";
  private static final int TEST_CLASS = 3;
  private static final int TEST = 4;
  private static final int OUTCOME = 5;
  private static final ProbeTable TABLE = new ProbeTable(TestNg.class.getName(), DESCRIPTION);

  private TestNg() {}

  public static int onEnter() {
    return TABLE.open();
  }

  public static void onExit(@OnEnterResult int row, @ReturnValue Object result, @ThrownException Throwable thrown) {
    if (row <= 0) {
      return;
    }
    try {
      if (result != null) {
        String text = ProbeTable.describe(result);
        String method = value(text, "method=");
        int open = method.indexOf('(');
        String qualified = open < 0 ? method : method.substring(0, open);
        int dot = qualified.lastIndexOf('.');
        TABLE.set(row, TEST_CLASS, dot < 0 ? "" : qualified.substring(0, dot));
        String name = value(text, "name=");
        TABLE.set(row, TEST, name.isEmpty() ? qualified.substring(dot + 1) : name);
        TABLE.set(row, OUTCOME, outcomeOf(value(text, "status=")));
      } else {
        TABLE.set(row, OUTCOME, "failed");
      }
    } catch (Throwable ignored) {
      // the row keeps what it got
    }
    TABLE.close(row, thrown);
  }

  static String outcomeOf(String status) {
    if ("SUCCESS".equals(status)) {
      return "passed";
    }
    if ("FAILURE".equals(status)) {
      return "failed";
    }
    return "SKIP".equals(status) ? "skipped" : status;
  }

  /** The word after {@code key}: up to a blank, a comma or a closing bracket. */
  static String value(String text, String key) {
    int start = text.indexOf(key);
    if (start < 0) {
      return "";
    }
    start += key.length();
    int end = start;
    while (end < text.length() && " ,]".indexOf(text.charAt(end)) < 0) {
      end++;
    }
    return text.substring(start, end);
  }
}
