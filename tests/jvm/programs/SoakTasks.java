import java.io.InputStream;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.function.IntUnaryOperator;

// The soak workload's kinds of work. Each is a round that gives the same checksum every time it runs,
// with or without the agent, however the threads interleave: deep and recursive calls, allocations kept
// alive for a few rounds, a contended monitor and waits, exceptions thrown and caught, and a class
// defined anew by a loader of its own.
final class SoakTasks {
  interface Round {
    long run(int round) throws Exception;
  }

  // CPU: recursion, a deep descent and a chain of distinct methods into the JDK.

  static long fib(int n) {
    return n < 2 ? n : fib(n - 1) + fib(n - 2);
  }

  static long descend(int depth, long value) {
    return depth == 0 ? value : descend(depth - 1, value * 31 + depth) ^ depth;
  }

  static long chainA(long value) {
    return chainB(value + 1) * 3;
  }

  static long chainB(long value) {
    long sum = value;
    for (int i = 0; i < 8; i++) sum = chainC(sum, i);
    return sum;
  }

  static long chainC(long value, int step) {
    return step % 2 == 0 ? chainD(value) : value ^ (value >>> step);
  }

  static long chainD(long value) {
    return Long.toHexString(value).hashCode() + value;
  }

  static long cpu(int round) {
    long sum = fib(20);
    for (int i = 0; i < 40; i++) sum += descend(150, i);
    for (int i = 0; i < 1500; i++) sum = chainA(sum + i);
    return sum;
  }

  // Allocations: linked nodes with arrays, one large array, strings and maps; the nodes of the last
  // rounds stay reachable, so that memory snapshots find them.

  static final class Node {
    final int value;
    final Node next;
    final int[] payload;

    Node(int value, Node next) {
      this.value = value;
      this.next = next;
      payload = new int[value % 24];
    }
  }

  private static final Node[] retained = new Node[6];

  static long allocations(int round) {
    Node head = null;
    for (int i = 0; i < 4000; i++) head = new Node(i, head);
    long sum = 0;
    for (Node n = head; n != null; n = n.next) sum += n.value + n.payload.length;
    final long[] large = new long[32 * 1024];
    for (int i = 0; i < large.length; i += 64) large[i] = i;
    for (int i = 0; i < large.length; i += 64) sum += large[i];
    final List<String> texts = new ArrayList<>();
    for (int i = 0; i < 400; i++) texts.add("text-" + i);
    sum += texts.hashCode();
    final Map<Integer, String> map = new HashMap<>();
    for (int i = 0; i < 400; i++) map.put(i, texts.get(i));
    sum += map.size();
    retained[round % retained.length] = head;
    return sum;
  }

  // Monitors: contenders that each add to a shared counter under its lock, and a ping-pong of waits and
  // notifications with a partner thread; the values do not depend on who enters first.

  static final class Counter {
    long value;
  }

  static final class Exchange {
    int turn;
    long sum;
  }

  static long monitors(int round) throws Exception {
    final Counter counter = new Counter();
    final Thread[] contenders = new Thread[3];
    for (int t = 0; t < contenders.length; t++) {
      contenders[t] = new Thread(() -> {
        for (int i = 0; i < 150; i++) {
          synchronized (counter) {
            long local = counter.value;
            for (int k = 0; k < 200; k++) local += k % 3;
            counter.value = local - 199 + i;
          }
        }
      }, "soak-contender-" + t);
    }
    for (Thread contender : contenders) contender.start();
    final Exchange exchange = new Exchange();
    final Thread partner = new Thread(() -> {
      try {
        for (int k = 0; k < 100; k++) {
          synchronized (exchange) {
            while (exchange.turn % 2 == 0) exchange.wait();
            exchange.turn++;
            exchange.sum += k;
            exchange.notifyAll();
          }
        }
      } catch (InterruptedException e) {
        throw new IllegalStateException(e);
      }
    }, "soak-partner");
    partner.start();
    for (int k = 0; k < 100; k++) {
      synchronized (exchange) {
        while (exchange.turn % 2 == 1) exchange.wait();
        exchange.turn++;
        exchange.notifyAll();
      }
    }
    synchronized (exchange) {
      exchange.wait(1);  // a timed wait that nobody ends early
    }
    partner.join();
    for (Thread contender : contenders) contender.join();
    return counter.value * 1000 + exchange.turn * 100000L + exchange.sum;
  }

  // Exceptions: thrown through several frames and caught, wrapped and rethrown, thrown by the JDK.

  static final class SoakFailure extends Exception {
    final int code;

    SoakFailure(int code) {
      super("failure " + code);
      this.code = code;
    }
  }

  static int fail(int i) throws SoakFailure {
    if (i % 3 == 0) throw new SoakFailure(i);
    return i;
  }

  static int nested(int depth, int i) throws SoakFailure {
    return depth == 0 ? fail(i) : nested(depth - 1, i) + 1;
  }

  static int rethrow(int i) {
    try {
      return Integer.parseInt("x" + i);
    } catch (NumberFormatException e) {
      throw new IllegalStateException("wrapped", e);
    }
  }

  static long exceptions(int round) {
    long sum = 0;
    final int[] small = new int[2];
    for (int i = 0; i < 500; i++) {
      try {
        sum += nested(i % 8, i);
      } catch (SoakFailure e) {
        sum += e.code * 7L;
      }
      try {
        sum += rethrow(i);
      } catch (IllegalStateException e) {
        sum += e.getCause() instanceof NumberFormatException ? 1 : 1000;
      }
      try {
        sum += small[i % 3];
      } catch (ArrayIndexOutOfBoundsException e) {
        sum += 3;
      }
    }
    return sum;
  }

  // Classes: SoakLoaded defined by a fresh loader each time, so that classes load, and unload, while the
  // workload runs.

  private static byte[] loadedBytes;

  static final class OwnLoader extends ClassLoader {
    OwnLoader() {
      super(SoakTasks.class.getClassLoader());
    }

    @Override
    protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
      if (!name.equals("SoakLoaded")) return super.loadClass(name, resolve);
      synchronized (getClassLoadingLock(name)) {
        Class<?> loaded = findLoadedClass(name);
        if (loaded == null) loaded = defineClass(name, loadedBytes, 0, loadedBytes.length);
        return loaded;
      }
    }
  }

  static long classes(int round) throws Exception {
    if (loadedBytes == null) {
      try (InputStream in = SoakTasks.class.getResourceAsStream("/SoakLoaded.class")) {
        loadedBytes = in.readAllBytes();
      }
    }
    long sum = 0;
    for (int i = 0; i < 4; i++) {
      final Class<?> loaded = new OwnLoader().loadClass("SoakLoaded");
      final IntUnaryOperator operator = (IntUnaryOperator) loaded.getDeclaredConstructor().newInstance();
      for (int k = 0; k < 100; k++) sum += operator.applyAsInt(k);
    }
    return sum;
  }

  private SoakTasks() {}
}
