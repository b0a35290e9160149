import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.lang.reflect.Method;

/**
 * The loop whose cost per contended monitor enter bench/monitor_cost.sh measures: two threads hand one
 * monitor to each other, so that every enter finds it held and blocks. The holder does a little work, then
 * keeps the monitor until the other thread shows the state BLOCKED (it entered the JVM's slow path, past
 * its spinning) and only then leaves; the thread that left waits outside until the other has taken the
 * monitor, so that it cannot barge back in, and enters again, to block in turn. Each enter is one hand-off:
 * the blocking, the release, the wake-up and the JVM's monitor events on the way. A tenth of the enters
 * first warm the loop up, untimed; then the wall time of both threads' enters is divided by their number.
 * The threads' blocked counts (ThreadMXBean), read before and after, tell how many enters really blocked.
 *
 * <p>Arguments: the number of timed enters per thread. Output lines: "ns_per_enter X", "blocked_fraction
 * X" (blocked enters over all enters), "ns_per_blocked_enter X", "status 0x..." (or "none" without the
 * agent) and "checksum X".
 */
public final class MonitorLoop {
  private MonitorLoop() {}

  static final Object lock = new Object();
  static volatile Thread owner;
  static long shared;

  static final ThreadMXBean management = ManagementFactory.getThreadMXBean();

  static long blockedCount() {
    return management.getThreadInfo(Thread.currentThread().getId()).getBlockedCount();
  }

  /** Enters `count` times, handing the monitor to the other thread of the pair; the enters that blocked. */
  static long enter(long count, Thread[] pair, int me) {
    final Thread self = pair[me];
    final Thread other = pair[1 - me];
    final long blockedBefore = blockedCount();
    for (long i = 0; i < count; i++) {
      synchronized (lock) {
        owner = self;
        long h = shared;
        for (int k = 0; k < 50; k++) {
          h = h * 31 + k;
        }
        shared = h;
        // Once the other thread has ended there is nobody left to hand over to.
        for (Thread.State state = other.getState();
            state != Thread.State.BLOCKED && state != Thread.State.TERMINATED;
            state = other.getState()) {
          Thread.onSpinWait();
        }
      }
      if (i + 1 < count) {
        while (owner == self && other.isAlive()) Thread.onSpinWait();
      }
    }
    return blockedCount() - blockedBefore;
  }

  /** The wall time of `count` enters by each of two threads, and how many of the enters blocked. */
  static long[] run(long count) throws InterruptedException {
    final Thread[] pair = new Thread[2];
    final long[] blocked = new long[2];
    for (int t = 0; t < 2; t++) {
      final int me = t;
      pair[t] = new Thread(() -> blocked[me] = enter(count, pair, me), "enter-" + t);
    }
    owner = null;
    final long start = System.nanoTime();
    for (Thread thread : pair) thread.start();
    for (Thread thread : pair) thread.join();
    return new long[] {System.nanoTime() - start, blocked[0] + blocked[1]};
  }

  public static void main(String[] args) throws Exception {
    final long count = Long.parseLong(args[0]);
    run(Math.max(count / 10, 1));
    final long[] timed = run(count);
    final double enters = count * 2;
    System.out.println("ns_per_enter " + timed[0] / enters);
    System.out.println("blocked_fraction " + timed[1] / enters);
    System.out.println("ns_per_blocked_enter " + (timed[1] > 0 ? timed[0] / (double) timed[1] : 0));
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
