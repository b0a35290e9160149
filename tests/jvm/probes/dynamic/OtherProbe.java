// A second probe of ProbeTarget, whose activity mode changes while TargetProbe's stays.
package dynamic;

import com.brantel.probes.*;

@MethodPattern("ProbeTarget:other()")
public class OtherProbe {
  public static void onEnter() {
    System.out.println("OtherProbe saw other");
  }
}
