import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.lang.reflect.Method;

/**
 * The loop whose cost per allocation bench/alloc_cost.sh measures: a small object made over and over at
 * one site and kept in a ring, so that no allocation can be optimised away. A tenth of the allocations
 * first warm the loop up, untimed; then they are timed by the wall clock and by the thread's CPU time.
 * The loop runs on a thread started after any recording start, so that it samples by the heap sampling
 * interval the start set.
 *
 * <p>Arguments: the number of timed allocations, then optionally "count" to start object counting
 * through the agent's Java side first. Output lines: "start X", "ns_per_alloc X", "cpu_ns_per_alloc X",
 * "status 0x..." (or "none" without the agent) and "checksum X".
 */
public final class AllocLoop {
  private AllocLoop() {}

  static final class Item {
    final long value;

    Item(long value) {
      this.value = value;
    }
  }

  static final Item[] ring = new Item[1024];

  static long loop(long count, long seed) {
    long h = seed;
    for (long i = 0; i < count; i++) {
      Item item = new Item(h + i);
      ring[(int) (i & 1023)] = item;
      h += item.value & 1;
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
    final long count = Long.parseLong(args[0]);
    if (args.length > 1 && args[1].equals("count")) {
      Method start = callback("startAllocationRecording", int.class, int.class, long.class, String.class);
      System.out.println("start " + (start == null ? "no agent" : start.invoke(null, 0, 0, 0x4002L, null)));
    }
    final ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    final long[] figures = new long[3];
    Thread worker = new Thread(() -> {
      long h = loop(Math.max(count / 10, 1), 1);
      final long cpuStart = threads.getCurrentThreadCpuTime();
      final long start = System.nanoTime();
      h = loop(count, h);
      figures[0] = System.nanoTime() - start;
      figures[1] = threads.getCurrentThreadCpuTime() - cpuStart;
      figures[2] = h;
    });
    worker.start();
    worker.join();
    Method status = callback("getStatus");
    System.out.printf("ns_per_alloc %.3f%n", (double) figures[0] / count);
    System.out.printf("cpu_ns_per_alloc %.3f%n", (double) figures[1] / count);
    System.out.println("status " + (status == null ? "none" : "0x" + Long.toHexString((Long) status.invoke(null))));
    System.out.println("checksum " + figures[2]);
  }
}
