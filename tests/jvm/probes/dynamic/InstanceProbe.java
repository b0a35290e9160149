// Its pattern reaches every Shape class; only those that are instances of ShapeBase are retransformed.
package dynamic;

import com.brantel.probes.*;

@MethodPattern("Shape*:describe()")
@RetransformIfInstanceOf(" ShapeBase ")
public class InstanceProbe {
  public static void onEnter() {
    System.out.println("InstanceProbe saw describe");
  }
}
