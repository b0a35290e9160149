import java.util.concurrent.CountDownLatch;
import java.util.concurrent.atomic.AtomicLong;

// Eight threads allocate nodes and relink a shared ring of them while the main thread takes memory
// snapshots; then the threads stop, check the ring and the program leaves.
//   ChurningHeap <snapshot count> <snapshot path prefix>
//     takes the snapshots to <prefix>0, <prefix>1, ... and prints what each call returned
public class ChurningHeap {
  static final int threadCount = 8;
  static final int ringLimit = 4000;

  static final class Node {
    final long serial;
    final byte[] payload;
    Node next;
    Object[] links = new Object[2];

    Node(long serial) {
      this.serial = serial;
      payload = new byte[(int) (serial % 16)];
    }
  }

  static final AtomicLong serials = new AtomicLong();
  static final Node head = new Node(0);
  static int ringSize = 1;
  static volatile boolean stop;

  static {
    head.next = head;
  }

  // Inserts a new node after a walk of `steps`, or unlinks the node there once the ring is full.
  static void churn(long seed) {
    long state = seed;
    while (!stop) {
      state = state * 6364136223846793005L + 1442695040888963407L;
      final int steps = (int) ((state >>> 33) % 64);
      final Node fresh = new Node(serials.incrementAndGet());
      synchronized (head) {
        Node at = head;
        for (int i = 0; i < steps; i++) at = at.next;
        if (ringSize >= ringLimit && at.next != head) {
          final Node removed = at.next;
          at.next = removed.next;
          removed.next = null;
          ringSize--;
        } else {
          fresh.next = at.next;
          fresh.links[0] = at;
          fresh.links[1] = new long[] {state};
          at.next = fresh;
          ringSize++;
        }
      }
    }
  }

  public static void main(String[] args) throws Exception {
    final int snapshots = Integer.parseInt(args[0]);
    final Thread[] threads = new Thread[threadCount];
    final CountDownLatch started = new CountDownLatch(threadCount);
    for (int t = 0; t < threadCount; t++) {
      final long seed = t + 1;
      threads[t] = new Thread(() -> {
        started.countDown();
        churn(seed);
      }, "churn-" + t);
      threads[t].start();
    }
    started.await();
    for (int i = 0; i < snapshots; i++) {
      final Object result = AgentCalls.callback("captureSnapshot", String.class, int.class, long.class)
          .invoke(null, args[1] + i, 0, 1L);
      System.out.println("snapshot " + i + "=" + result);
    }
    stop = true;
    for (Thread thread : threads) thread.join();
    int counted = 1;
    for (Node at = head.next; at != head; at = at.next) counted++;
    System.out.println("ring " + (counted == ringSize ? "whole" : "broken: " + counted + " of " + ringSize) + " after "
        + serials.get() + " nodes");
  }
}
