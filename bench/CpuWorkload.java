import com.sun.management.OperatingSystemMXBean;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.lang.reflect.Method;

/**
 * A fixed CPU-bound load for bench/sampling_overhead.sh: eight threads repeat the same deterministic
 * operation, a descent of 16 calls through four methods chosen by the data, with integer mixing at every
 * level and a loop at the bottom, allocating nothing, so that only the profiler beside it changes the
 * rate. After a warm-up that lets the JIT settle the threads count their operations over a measured
 * window, which ends for all of them at once.
 *
 * <p>Arguments (optional): the warm-up and the measured window in milliseconds (1000 and 3000). Output
 * lines: "ops_per_second X" (operations of all threads per second of the window), "cpu_ns_per_op X" (the
 * CPU time of the whole process over the window, a profiler's threads included, per operation),
 * "others_cpu_ms X" (that CPU time less the working threads' own: a profiler's threads, and the JIT and
 * the main thread, which are all but idle by then),
 * "safepoints N", "safepoint_ms X" and "safepoint_sync_ms X" (the JVM's safepoints in the window, the
 * time from the start of each to its end, and the part of it spent until every thread had stopped; -1
 * unless the JVM runs with --add-exports java.management/sun.management=ALL-UNNAMED) and "checksum X".
 */
public final class CpuWorkload {
  private static final int THREADS = 8;
  private static final int DEPTH = 16;
  private static final int LEAF_ROUNDS = 64;

  // 0 warming up, 1 counting, 2 stopped: read once per operation, written only by main.
  private static volatile int phase;

  private CpuWorkload() {}

  public static void main(String[] args) throws InterruptedException {
    final long warmUpMs = args.length > 0 ? Long.parseLong(args[0]) : 1000;
    final long windowMs = args.length > 1 ? Long.parseLong(args[1]) : 3000;
    final OperatingSystemMXBean system = (OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean();
    final ThreadMXBean threadBean = ManagementFactory.getThreadMXBean();
    final long[] counts = new long[THREADS];
    final long[] sums = new long[THREADS];
    Thread[] threads = new Thread[THREADS];
    for (int t = 0; t < THREADS; t++) {
      final int index = t;
      threads[t] = new Thread(() -> {
        long seed = 0x9E3779B97F4A7C15L * (index + 1);
        long sum = 0;
        while (phase == 0) sum += operation(seed++);
        long count = 0;
        while (phase == 1) {
          sum += operation(seed++);
          count++;
        }
        counts[index] = count;
        sums[index] = sum;
      }, "worker-" + t);
      threads[t].start();
    }
    Thread.sleep(warmUpMs);
    final long startSafepoints = safepointFigure("getSafepointCount");
    final long startSafepointMs = safepointFigure("getTotalSafepointTime");
    final long startSyncMs = safepointFigure("getSafepointSyncTime");
    final long startCpu = system.getProcessCpuTime();
    final long startWorkersCpu = cpuTime(threadBean, threads);
    phase = 1;
    final long start = System.nanoTime();
    Thread.sleep(windowMs);
    phase = 2;
    final long elapsed = System.nanoTime() - start;
    final long cpu = system.getProcessCpuTime() - startCpu;
    final long workersCpu = cpuTime(threadBean, threads) - startWorkersCpu;
    final long safepoints = difference(safepointFigure("getSafepointCount"), startSafepoints);
    final long safepointMs = difference(safepointFigure("getTotalSafepointTime"), startSafepointMs);
    final long syncMs = difference(safepointFigure("getSafepointSyncTime"), startSyncMs);
    long total = 0;
    long checksum = 0;
    for (int t = 0; t < THREADS; t++) {
      threads[t].join();
      total += counts[t];
      checksum ^= sums[t];
    }
    System.out.printf("ops_per_second %.0f%n", total * 1e9 / elapsed);
    System.out.printf("cpu_ns_per_op %.2f%n", (double) cpu / total);
    System.out.printf("others_cpu_ms %.1f%n", (cpu - workersCpu) / 1e6);
    System.out.println("safepoints " + safepoints);
    System.out.println("safepoint_ms " + safepointMs);
    System.out.println("safepoint_sync_ms " + syncMs);
    System.out.println("checksum " + checksum);
  }

  static long cpuTime(ThreadMXBean bean, Thread[] threads) {
    long sum = 0;
    for (Thread thread : threads) sum += bean.getThreadCpuTime(thread.getId());
    return sum;
  }

  // A figure of the JVM's internal runtime bean, which only an export of its package makes readable;
  // -1 without it.
  static long safepointFigure(String getter) {
    try {
      final Class<?> helper = Class.forName("sun.management.ManagementFactoryHelper");
      final Object bean = helper.getMethod("getHotspotRuntimeMBean").invoke(null);
      final Method method = Class.forName("sun.management.HotspotRuntimeMBean").getMethod(getter);
      return (Long) method.invoke(bean);
    } catch (ReflectiveOperationException | RuntimeException e) {
      return -1;
    }
  }

  static long difference(long end, long start) {
    return end < 0 || start < 0 ? -1 : end - start;
  }

  static long operation(long seed) {
    return descend(mix(seed), DEPTH);
  }

  // Each level goes on through one of four methods, so that the samples see several different stacks.
  static long descend(long value, int remaining) {
    if (remaining == 0) return leaf(value);
    switch ((int) (value >>> 62)) {
      case 0:
        return a(value, remaining - 1);
      case 1:
        return b(value, remaining - 1);
      case 2:
        return c(value, remaining - 1);
      default:
        return d(value, remaining - 1);
    }
  }

  static long a(long value, int remaining) {
    return descend(mix(value + 1), remaining) ^ value;
  }

  static long b(long value, int remaining) {
    return descend(mix(value * 31), remaining) + value;
  }

  static long c(long value, int remaining) {
    return descend(mix(value ^ 0x5DEECE66DL), remaining) - value;
  }

  static long d(long value, int remaining) {
    return descend(mix(Long.rotateLeft(value, 17)), remaining) * 3;
  }

  static long leaf(long value) {
    long x = value;
    for (int i = 0; i < LEAF_ROUNDS; i++) x = mix(x + i);
    return x;
  }

  static long mix(long x) {
    x ^= x >>> 33;
    x *= 0xFF51AFD7ED558CCDL;
    x ^= x >>> 33;
    return x;
  }
}
