// A class of a probe group that is no probe: no @MethodPattern.
package dynamic;

public class NoProbeSupport {
  public static String text() {
    return "support";
  }
}
