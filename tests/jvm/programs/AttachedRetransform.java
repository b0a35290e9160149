import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Paths;

// Waits until the file named by its second argument appears (a test attaches the agent meanwhile), then
// by its first argument:
// - "calls": asks the agent twice to retransform the classes loaded before it came, writing a line to
//   the agent's log after each call, so that a test can tell what each call logged;
// - a CPU profiling mode ("12" tracing, "0x1004" call counting): starts it, which retransforms those
//   classes, prints the start's answer, then calls tracedCall (a method of this class, loaded before the
//   agent) as often as the third argument says.
public class AttachedRetransform {
  static volatile int sink;

  static int tracedCall(int x) {
    int h = x;
    for (int i = 0; i < 3; i++) {
      h = h * 31 + i;
    }
    return h;
  }

  public static void main(String[] args) throws Exception {
    System.out.println("waiting");
    System.out.flush();
    while (!Files.exists(Paths.get(args[1]))) {
      Thread.sleep(50);
    }
    if (args[0].equals("calls")) {
      Method retransform = AgentCalls.callback("retransformClassesLoadedBeforeAgentAttached");
      Method log = AgentCalls.callback("messageToLogFile", String.class);
      retransform.invoke(null);
      log.invoke(null, "first call returned");
      retransform.invoke(null);
      log.invoke(null, "second call returned");
    } else {
      Object answer = AgentCalls.callback("startCpuProfiling", long.class, String.class).invoke(null, Long.decode(args[0]), null);
      System.out.println("start: " + answer);
      int h = 0;
      for (int i = Integer.parseInt(args[2]); i > 0; i--) {
        h = tracedCall(h);
      }
      sink = h;
    }
    System.out.println("done");
  }
}
