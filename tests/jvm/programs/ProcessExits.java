import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.List;

// Child processes watched by the agent's process-exit listeners, as the Java side registers them: by
// the process id (Linux has no process handles). Each child waits for a line on its standard input, so
// that the program chooses the order in which they end. Prints one line per observation.
public class ProcessExits {
  static final Method register = callback("registerProcessExitListener", long.class, int.class);
  static final Method exited = callback("getExitedProcesses");

  static Method callback(String name, Class<?>... parameters) {
    try {
      return Class.forName("com.brantel.runtime.Callback").getMethod(name, parameters);
    } catch (ReflectiveOperationException e) {
      throw new IllegalStateException(e);
    }
  }

  static Process child(String script) throws Exception {
    return new ProcessBuilder("/bin/sh", "-c", "read line; " + script).start();
  }

  // The JVM reaps the child as it ends, and its listener may then read the exit code a moment later:
  // the pause keeps that moment apart from the next child's end.
  static void end(Process child) throws Exception {
    child.getOutputStream().write('\n');
    child.getOutputStream().close();
    child.waitFor();
    Thread.sleep(50);
  }

  static int[] poll() throws Exception {
    return (int[]) exited.invoke(null);
  }

  static String text(int[] records) {
    if (records == null) return "null";
    StringBuilder text = new StringBuilder();
    for (int record : records) text.append(text.length() == 0 ? "" : " ").append(record);
    return text.toString();
  }

  // The records of `count` processes, polled until they are all in.
  static String collect(int count) throws Exception {
    List<Integer> records = new ArrayList<>();
    for (int attempt = 0; attempt < 500 && records.size() < 2 * count; attempt++) {
      int[] polled = poll();
      if (polled != null) {
        for (int record : polled) records.add(record);
      } else {
        Thread.sleep(20);
      }
    }
    return text(records.stream().mapToInt(Integer::intValue).toArray());
  }

  public static void main(String[] args) throws Exception {
    System.out.println("nothing ended=" + text(poll()));

    Process zero = child("exit 0");
    Process three = child("exit 3");
    Process killed = child("kill -9 $$");
    register.invoke(null, zero.pid(), 10);
    register.invoke(null, three.pid(), 11);
    register.invoke(null, killed.pid(), 12);
    end(killed);
    end(zero);
    end(three);
    System.out.println("in exit order=" + collect(3));
    System.out.println("killed exitValue=" + killed.exitValue());
    System.out.println("second poll=" + text(poll()));

    Process twice = child("exit 5");
    register.invoke(null, twice.pid(), 1);
    register.invoke(null, twice.pid(), 2);
    end(twice);
    String[] pairs = collect(2).split(" ");
    boolean firstIsOne = pairs[0].equals("1");
    System.out.println("two listeners=" + (firstIsOne ? pairs[0] + " " + pairs[1] + " " + pairs[2] + " " + pairs[3]
        : pairs[2] + " " + pairs[3] + " " + pairs[0] + " " + pairs[1]));

    // Reaped by the JVM already, so its exit code is gone.
    Process gone = child("exit 4");
    end(gone);
    register.invoke(null, gone.pid(), 20);
    System.out.println("already ended=" + text(poll()));

    register.invoke(null, 0x7ffffff1L, 30);
    register.invoke(null, -1L, 31);
    System.out.println("unknown=" + text(poll()));
  }
}
