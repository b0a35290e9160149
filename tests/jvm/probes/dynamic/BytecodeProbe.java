// Registered from its bytes and defined in the bootstrap loader.
package dynamic;

import com.brantel.probes.*;

@MethodPattern("ProbeTarget:byBytecode()")
public class BytecodeProbe {
  public static void onEnter() {
    System.out.println("BytecodeProbe saw byBytecode");
  }
}
