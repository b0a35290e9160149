import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

// Threads for the CPU sampler to find, each in a method of its own, printing what they measured of
// themselves as "<name>: <figure>" lines.
public class SampledThreads {
  static volatile long sink;

  // Keeps the CPU busy in this one method for `ms` of wall time.
  static void spinInOneMethod(long ms) {
    long end = System.nanoTime() + ms * 1000000;
    long sum = 0;
    while (System.nanoTime() < end) {
      for (int i = 0; i < 1000; i++) {
        sum += i ^ sum;
      }
    }
    sink = sum;
  }

  static void sleepInOneMethod(long ms) throws InterruptedException {
    Thread.sleep(ms);
  }

  // One frame deeper for every millisecond, until `end`: every sample finds a stack it has not seen
  // before, so the thread's deepest frames count the samples taken of it.
  static void sleepEverDeeper(long end) throws InterruptedException {
    if (System.nanoTime() < end) {
      Thread.sleep(1);
      sleepEverDeeper(end);
    }
  }

  static Thread named(String name, Runnable body) {
    Thread thread = new Thread(body, name);
    thread.start();
    return thread;
  }

  interface Body {
    void run() throws Exception;
  }

  static Runnable unchecked(Body body) {
    return () -> {
      try {
        body.run();
      } catch (Exception e) {
        throw new RuntimeException(e);
      }
    };
  }

  // A thread "spinner" busy for 2 s and a thread "sleeper" asleep for 1.5 s; the spinner prints the CPU
  // time of its spin, the sleeper the time it slept, in ns. A thread named as the agent's own is busy
  // beside them.
  static void busyAndSleeping() throws Exception {
    Thread lookalike = named("BZPAgent-Lookalike", () -> spinInOneMethod(2000));
    Thread spinner = named("spinner", () -> {
      // The management classes load before the spin: loading them is no part of the figure.
      ThreadMXBean threads = ManagementFactory.getThreadMXBean();
      long before = threads.getCurrentThreadCpuTime();
      spinInOneMethod(2000);
      System.out.println("spinner cpu: " + (threads.getCurrentThreadCpuTime() - before));
    });
    Thread sleeper = named("sleeper", unchecked(() -> {
      long start = System.nanoTime();
      sleepInOneMethod(1500);
      System.out.println("sleeper slept: " + (System.nanoTime() - start));
    }));
    spinner.join();
    sleeper.join();
    lookalike.join();
  }

  // A thread "deepener" that goes one frame deeper every millisecond for `ms`; it prints the time it
  // took, in ns.
  static void deepening(long ms) throws Exception {
    named("deepener", unchecked(() -> {
      long start = System.nanoTime();
      sleepEverDeeper(start + ms * 1000000);
      System.out.println("deepener ran: " + (System.nanoTime() - start));
    })).join();
  }

  // Eight threads running hot when the program leaves, by System.exit or by returning from main.
  static void exitWhileHot(String how) throws Exception {
    for (int i = 0; i < 8; i++) {
      Thread hot = new Thread(() -> spinInOneMethod(60000), "hot-" + i);
      hot.setDaemon(true);
      hot.start();
    }
    Leaving.leave(how);
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "busyAndSleeping":
        busyAndSleeping();
        break;
      case "deepening":
        deepening(Long.parseLong(args[1]));
        break;
      case "exitWhileHot":
        exitWhileHot(args[1]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
