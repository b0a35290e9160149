// Matches RefusedTarget, whose retransformation another agent's transformer makes the JVM refuse.
package dynamic;

import com.brantel.probes.*;

@MethodPattern("RefusedTarget:*()")
public class RefusedProbe {
  public static void onEnter(@MethodName String method) {
    System.out.println("RefusedProbe saw " + method);
  }
}
