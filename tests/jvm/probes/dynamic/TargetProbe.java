// Registered and unregistered by name while ProbeTarget is loaded; says what it saw on standard output.
package dynamic;

import com.brantel.probes.*;

@MethodPattern("ProbeTarget:work(String)")
public class TargetProbe {
  public static void onEnter(@Params Object[] arguments) {
    System.out.println("TargetProbe saw " + arguments[0]);
  }
}
