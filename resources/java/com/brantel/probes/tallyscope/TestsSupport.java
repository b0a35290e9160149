package com.brantel.probes.tallyscope;

import com.brantel.probes.MethodPattern;
import com.brantel.probes.Param;
import com.brantel.probes.This;

/**
 * Assertion failures of the test libraries, whatever runs the tests: one row per failure, at the place it
 * was raised (the "frame" column), with its text. JUnit 4's assertions end in Assert.fail(String); JUnit 5,
 * AssertJ and others throw opentest4j's AssertionFailedError, whose constructors all end in the one with
 * four arguments.
 */
public final class TestsSupport {
  static final String DESCRIPTION =
      "Test Assertion Failures\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nAssertion\n4\nFailure\n2\n";
  private static final int ASSERTION = 3;
  private static final int FAILURE = 4;
  static final ProbeTable TABLE = new ProbeTable(TestsSupport.class.getName(), DESCRIPTION);

  private TestsSupport() {}

  static void record(String assertion, Object failure) {
    int row = TABLE.open();
    if (row > 0) {
      TABLE.set(row, ASSERTION, assertion);
      TABLE.set(row, FAILURE, failure == null ? null : ProbeTable.describe(failure));
      TABLE.closeWithoutEnd(row);
    }
  }

  @MethodPattern("org.junit.Assert:fail(String)")
  public static final class JUnit4Fail {
    private JUnit4Fail() {}

    public static void onEnter(@Param(1) Object message) {
      record("org.junit.Assert", message);
    }
  }

  @MethodPattern("org.opentest4j.AssertionFailedError:<init>(String, org.opentest4j.ValueWrapper, "
      + "org.opentest4j.ValueWrapper, java.lang.Throwable)")
  public static final class AssertionFailed {
    private AssertionFailed() {}

    public static void onExit(@This Object error) {
      try {
        if (error instanceof Throwable) {
          record(error.getClass().getName(), ((Throwable) error).getMessage());
        }
      } catch (Throwable ignored) {
        // the failure goes unrecorded
      }
    }
  }
}
