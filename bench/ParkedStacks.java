// The Java side of bench/SamplingCycleBench.cpp: threads that the benchmark's native gives their agent
// records, as the ThreadStart event does, and that then descend through five methods in turn and wait
// on a shared monitor until they are let go, so that a sampling cycle finds every one of them with the
// same stack of the depth asked for. A thread's stack, leaf first: Object.wait(long), Object.wait(),
// hold, the steps, run.
public final class ParkedStacks extends Thread {
  // The frames of a parked thread's stack besides the steps after the first.
  static final int FIXED_FRAMES = 5;

  private static final Object gate = new Object();
  private static boolean open;  // guarded by gate

  private final int remaining;

  private ParkedStacks(String name, int remaining) {
    super(name);
    this.remaining = remaining;
    setDaemon(true);
  }

  static native void announce(Thread self);

  @Override
  public void run() {
    announce(this);
    step0(remaining);
  }

  // Runs the descent to the depth `rounds` times without waiting, so that the JIT has compiled it before
  // the threads park in it.
  static void warmUp(int depth, int rounds) {
    synchronized (gate) {
      open = true;
    }
    for (int i = 0; i < rounds; i++) step0(depth - FIXED_FRAMES);
  }

  // Starts `count` threads that park with stacks of `depth` frames.
  static Thread[] startAll(int count, int depth) {
    synchronized (gate) {
      open = false;
    }
    final Thread[] threads = new Thread[count];
    for (int i = 0; i < count; i++) {
      threads[i] = new ParkedStacks("parked-" + i, depth - FIXED_FRAMES);
      threads[i].start();
    }
    return threads;
  }

  static void finishAll(Thread[] threads) throws InterruptedException {
    synchronized (gate) {
      open = true;
      gate.notifyAll();
    }
    for (Thread thread : threads) thread.join();
  }

  static void hold() {
    synchronized (gate) {
      while (!open) {
        try {
          gate.wait();
        } catch (InterruptedException e) {
          return;
        }
      }
    }
  }

  static void step0(int remaining) {
    if (remaining == 0) hold();
    else step1(remaining - 1);
  }

  static void step1(int remaining) {
    if (remaining == 0) hold();
    else step2(remaining - 1);
  }

  static void step2(int remaining) {
    if (remaining == 0) hold();
    else step3(remaining - 1);
  }

  static void step3(int remaining) {
    if (remaining == 0) hold();
    else step4(remaining - 1);
  }

  static void step4(int remaining) {
    if (remaining == 0) hold();
    else step0(remaining - 1);
  }
}
