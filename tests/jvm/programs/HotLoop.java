import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

// Spends about a second of its thread's CPU time in hot() and a tenth of that in warm(), each in a loop of
// its own, for the test that the hottest call path ends in hot(). The test names the lines marked "line".
// The loops read the CPU clock only every ten million steps: on a loaded machine a thread is often
// descheduled on its way out of the clock's system call, where a sample then finds it far more often than
// the call's share of the CPU, so frequent reads would make the clock's native look hot.
public class HotLoop {
  private static long sink;

  public static void main(String[] args) {
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    warm(threads, 100_000_000L);
    hot(threads, 1_000_000_000L);  // line 15
    System.out.println("HotLoop done " + (sink & 1));
  }

  private static void warm(ThreadMXBean threads, long cpuNs) {
    long end = threads.getCurrentThreadCpuTime() + cpuNs;
    long x = sink;
    while (threads.getCurrentThreadCpuTime() < end) {
      for (int i = 0; i < 10_000_000; i++) x = x * 6364136223846793005L + 1442695040888963407L;
    }
    sink = x;
  }

  private static void hot(ThreadMXBean threads, long cpuNs) {
    long end = threads.getCurrentThreadCpuTime() + cpuNs;
    long x = sink;
    while (threads.getCurrentThreadCpuTime() < end) {
      for (int i = 0; i < 10_000_000; i++) x = x * 2862933555777941757L + 3037000493L;  // line 32
    }
    sink = x;
  }
}
