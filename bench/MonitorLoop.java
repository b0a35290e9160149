import java.lang.reflect.Method;

/**
 * The loop whose cost per contended monitor enter bench/monitor_cost.sh measures: four threads enter one
 * monitor over and over and do a little work inside it, so that most enters find it held and block. A
 * tenth of the enters first warm the loop up, untimed; then the wall time of all the threads' enters is
 * divided by their number.
 *
 * <p>Arguments: the number of timed enters per thread. Output lines: "ns_per_enter X", "status 0x..."
 * (or "none" without the agent) and "checksum X".
 */
public final class MonitorLoop {
  private MonitorLoop() {}

  static final Object lock = new Object();
  static long shared;

  static void enter(long count) {
    for (long i = 0; i < count; i++) {
      synchronized (lock) {
        long h = shared;
        for (int k = 0; k < 50; k++) {
          h = h * 31 + k;
        }
        shared = h;
      }
    }
  }

  static long run(int threads, long count) throws InterruptedException {
    Thread[] workers = new Thread[threads];
    for (int t = 0; t < threads; t++) {
      workers[t] = new Thread(() -> enter(count), "enter-" + t);
    }
    final long start = System.nanoTime();
    for (Thread worker : workers) worker.start();
    for (Thread worker : workers) worker.join();
    return System.nanoTime() - start;
  }

  public static void main(String[] args) throws Exception {
    final long count = Long.parseLong(args[0]);
    final int threads = 4;
    run(threads, Math.max(count / 10, 1));
    final long elapsed = run(threads, count);
    System.out.println("ns_per_enter " + (double) elapsed / (count * threads));
    Method status;
    try {
      status = Class.forName("com.brantel.runtime.Callback").getMethod("getStatus");
      System.out.println("status 0x" + Long.toHexString((Long) status.invoke(null)));
    } catch (ReflectiveOperationException e) {
      System.out.println("status none");
    }
    System.out.println("checksum " + shared);
  }
}
