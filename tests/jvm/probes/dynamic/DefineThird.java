// One of three probes registered from their bytes in one call, each in a group of its own.
package dynamic;

import com.brantel.probes.*;

@MethodPattern("NoSuchTarget:nothing()")
public class DefineThird {
  public static void onEnter() {}
}
