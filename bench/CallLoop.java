import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.lang.reflect.Method;

/**
 * The loop whose cost per call bench/call_cost.sh measures: a small method with a loop of its own, long
 * enough for the agent to instrument it, called over and over in a chain (each call takes the result of
 * the one before, so that no call can be left out or run ahead of the others). A tenth of the calls
 * first warms the loop up, untimed; then the calls are timed on the calling thread, by the wall clock
 * and by the thread's CPU time, which another process on the machine disturbs less.
 *
 * <p>Arguments: the number of timed calls, then optionally "count" to start call counting through the
 * agent's Java side first (Callback.startCpuProfiling with mode 0x1004). Output lines: "start X" (the
 * answer of that start, "null" for success), "calls N", "ns_per_call X", "cpu_ns_per_call X", "status
 * 0x..." (the agent's mode word once the calls are done, or "none" without the agent) and "checksum X".
 */
public final class CallLoop {
  private CallLoop() {}

  static int work(int x) {
    int h = x;
    for (int i = 0; i < 3; i++) {
      h = (h ^ (h >>> 15)) * 0x2c1b3c6d + i;
    }
    return h;
  }

  static int loop(long calls, int seed) {
    int h = seed;
    for (long i = 0; i < calls; i++) {
      h = work(h);
    }
    return h;
  }

  static Method callback(String name, Class<?>... parameters) {
    try {
      return Class.forName("com.brantel.runtime.Callback").getMethod(name, parameters);
    } catch (ReflectiveOperationException e) {
      return null;
    }
  }

  public static void main(String[] args) throws Exception {
    final long calls = Long.parseLong(args[0]);
    final boolean count = args.length > 1 && args[1].equals("count");
    final ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    if (count) {
      Method start = callback("startCpuProfiling", long.class, String.class);
      System.out.println("start " + (start == null ? "no agent" : start.invoke(null, 0x1004L, null)));
    }
    int h = loop(Math.max(calls / 10, 1), 1);
    final long cpuStart = threads.getCurrentThreadCpuTime();
    final long start = System.nanoTime();
    h = loop(calls, h);
    final long wall = System.nanoTime() - start;
    final long cpu = threads.getCurrentThreadCpuTime() - cpuStart;
    Method status = callback("getStatus");
    System.out.println("calls " + calls);
    System.out.printf("ns_per_call %.3f%n", (double) wall / calls);
    System.out.printf("cpu_ns_per_call %.3f%n", (double) cpu / calls);
    System.out.println("status " + (status == null ? "none" : "0x" + Long.toHexString((Long) status.invoke(null))));
    System.out.println("checksum " + h);
  }
}
