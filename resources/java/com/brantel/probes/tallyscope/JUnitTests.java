package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodName;
import com.brantel.probes.MethodPattern;
import com.brantel.probes.Param;

/**
 * JUnit tests: one row per test from its start to its end, with its class, name and outcome ("passed",
 * "failed", "skipped" or "ignored"); a failure's text fills "exception_str". JUnit 4 (and the JUnit 5
 * vintage engine, which runs JUnit 4 runners) reports through RunNotifier, the JUnit 5 platform through
 * the launcher's listener adapter. Tests are named by the texts their descriptions give of themselves.
 */
public final class JUnitTests {
  static final String DESCRIPTION = "JUnit Tests\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\n"
      + "Test class\n2\nTest\n2\nOutcome\n2\nexception_str\n2\n";
  private static final int TEST_CLASS = 3;
  private static final int TEST = 4;
  private static final int OUTCOME = 5;
  static final ProbeTable TABLE = new ProbeTable(JUnitTests.class.getName(), DESCRIPTION);

  private JUnitTests() {}

  static int openTest(String testClass, String test) {
    int row = TABLE.open();
    TABLE.set(row, TEST_CLASS, testClass);
    TABLE.set(row, TEST, test);
    return row;
  }

  static void closeTest(int row, String outcome, String failure) {
    TABLE.set(row, OUTCOME, outcome);
    TABLE.close(row, failure);
  }

  /**
   * JUnit 4. A notifier reports a test's start, failures and end on the thread that runs the test, so the
   * open test is the thread's; a Description shows as "name(class)".
   */
  @MethodPattern({
      "org.junit.runner.notification.RunNotifier:fireTestStarted(org.junit.runner.Description)",
      "org.junit.runner.notification.RunNotifier:fireTestFinished(org.junit.runner.Description)",
      "org.junit.runner.notification.RunNotifier:fireTestIgnored(org.junit.runner.Description)",
      "org.junit.runner.notification.RunNotifier:fireTestFailure(org.junit.runner.notification.Failure)",
      "org.junit.runner.notification.RunNotifier:"
          + "fireTestAssumptionFailed(org.junit.runner.notification.Failure)"})
  public static final class JUnit4 {
    private static final ThreadLocal<RunningTest> RUNNING = new ThreadLocal<RunningTest>();

    private JUnit4() {}

    public static void onEnter(@MethodName String method, @Param(1) Object argument) {
      try {
        if ("fireTestStarted".equals(method)) {
          String description = ProbeTable.describe(argument);
          RUNNING.set(new RunningTest(openTest(classOf(description), nameOf(description))));
        } else if ("fireTestIgnored".equals(method)) {
          String description = ProbeTable.describe(argument);
          closeTest(openTest(classOf(description), nameOf(description)), "ignored", null);
        } else {
          RunningTest test = RUNNING.get();
          if (test == null) {
            return;  // a failure outside a test, such as one of @BeforeClass
          }
          if ("fireTestFinished".equals(method)) {
            RUNNING.remove();
            closeTest(test.row, test.outcome, test.failure);
          } else {
            test.outcome = "fireTestFailure".equals(method) ? "failed" : "skipped";
            test.failure = ProbeTable.describe(argument);
          }
        }
      } catch (Throwable ignored) {
        // the test goes unrecorded
      }
    }

    static String nameOf(String description) {
      int open = description.lastIndexOf('(');
      return open > 0 && description.endsWith(")") ? description.substring(0, open) : description;
    }

    static String classOf(String description) {
      int open = description.lastIndexOf('(');
      return open > 0 && description.endsWith(")") ? description.substring(open + 1, description.length() - 1)
          : "";
    }

    private static final class RunningTest {
      final int row;
      String outcome = "passed";
      String failure;

      RunningTest(int row) {
        this.row = row;
      }
    }
  }

  /**
   * The JUnit 5 platform. A test descriptor shows as "<type>: [engine:e]/[class:c]/[method:m()]..."; the
   * rows are those of methods, template invocations and dynamic tests, containers are left out, and so are
   * the vintage engine's tests, which the notifier above reports. A result shows as
   * "TestExecutionResult [status = FAILED, throwable = ...]".
   */
  @MethodPattern({
      "org.junit.platform.launcher.core.ExecutionListenerAdapter:"
          + "executionStarted(org.junit.platform.engine.TestDescriptor)",
      "org.junit.platform.launcher.core.ExecutionListenerAdapter:"
          + "executionSkipped(org.junit.platform.engine.TestDescriptor, java.lang.String)",
      "org.junit.platform.launcher.core.ExecutionListenerAdapter:"
          + "executionFinished(org.junit.platform.engine.TestDescriptor, "
          + "org.junit.platform.engine.TestExecutionResult)"})
  public static final class Platform {
    private Platform() {}

    public static void onEnter(@MethodName String method, @Param(1) Object descriptor, @Param(2) Object detail) {
      try {
        if ("executionFinished".equals(method)) {
          int row = TABLE.detach(descriptor);
          if (row > 0) {
            String result = ProbeTable.describe(detail);
            closeTest(row, outcomeOf(result), failureOf(result));
          }
          return;
        }
        String id = ProbeTable.describe(descriptor);
        String last = lastSegmentType(id);
        if (!"method".equals(last) && !"test-template-invocation".equals(last) && !"dynamic-test".equals(last)) {
          return;
        }
        int row = openTest(testClassOf(id), testNameOf(id));
        if ("executionSkipped".equals(method)) {
          closeTest(row, "skipped", null);
        } else {
          TABLE.attach(descriptor, row);
        }
      } catch (Throwable ignored) {
        // the test goes unrecorded
      }
    }

    static String lastSegmentType(String id) {
      int start = id.lastIndexOf("/[");
      start = start < 0 ? id.indexOf('[') : start + 1;
      int colon = start < 0 ? -1 : id.indexOf(':', start);
      return colon < 0 ? "" : id.substring(start + 1, colon);
    }

    /** The innermost class or nested class, as the engine names it. */
    static String testClassOf(String id) {
      String nested = lastValue(id, "nested-class");
      return nested != null ? nested : valueOr(lastValue(id, "class"), "");
    }

    /** The method (or template, or factory), followed by the invocation or dynamic test it stands for. */
    static String testNameOf(String id) {
      String name = lastValue(id, "method");
      if (name == null) {
        name = lastValue(id, "test-template");
      }
      if (name == null) {
        name = valueOr(lastValue(id, "test-factory"), "");
      }
      String part = lastValue(id, "test-template-invocation");
      if (part == null) {
        part = lastValue(id, "dynamic-test");
      }
      return part == null ? name : name + " " + part;
    }

    static String outcomeOf(String result) {
      String status = between(result, "status = ", ",");
      if ("SUCCESSFUL".equals(status)) {
        return "passed";
      }
      if ("FAILED".equals(status)) {
        return "failed";
      }
      return "ABORTED".equals(status) ? "skipped" : status;
    }

    static String failureOf(String result) {
      int start = result.indexOf("throwable = ");
      if (start < 0) {
        return null;
      }
      String throwable = result.substring(start + "throwable = ".length());
      if (throwable.endsWith("]")) {
        throwable = throwable.substring(0, throwable.length() - 1);
      }
      return throwable.isEmpty() || "null".equals(throwable) ? null : throwable;
    }

    private static String lastValue(String id, String type) {
      String marker = "[" + type + ":";
      int start = id.lastIndexOf(marker);
      if (start < 0) {
        return null;
      }
      start += marker.length();
      int end = id.indexOf("]/[", start);
      if (end < 0) {
        end = id.endsWith("]") ? id.length() - 1 : id.length();
      }
      return id.substring(start, Math.max(start, end));
    }

    private static String between(String text, String before, String after) {
      int start = text.indexOf(before);
      if (start < 0) {
        return "";
      }
      start += before.length();
      int end = text.indexOf(after, start);
      return end < 0 ? text.substring(start) : text.substring(start, end);
    }

    private static String valueOr(String value, String otherwise) {
      return value == null ? otherwise : value;
    }
  }
}
