import java.util.concurrent.CountDownLatch;
import java.util.concurrent.locks.LockSupport;

// A heap whose objects the memory snapshot tests know: a class hierarchy with interface constants,
// every primitive field type, statics, object and primitive arrays, a cycle, an object held by a JNI
// global reference only and one held by a parked thread's local variable.
//   KnownHeap snapshots <memory path> <performance path> <helper library>
//     takes a memory and a performance snapshot while the thread is parked
//   KnownHeap exit
//     builds the heap and leaves, for the snapshot on exit
public class KnownHeap {
  interface Coded {
    int CODE = 1234567;
    String NAME = "coded-name";
  }

  interface Marked extends Coded {
    long MARK = 0x0102030405060708L;
  }

  static class Base implements Marked {
    int baseValue = 11;
    Object baseRef;
  }

  static class Middle extends Base {
    short middleValue = -3;
    Base middleRef;
  }

  static class Leaf extends Middle {
    long leafValue = -9876543210L;
    String leafText = "leaf-text";
  }

  static class Primitives {
    boolean z = true;
    byte b = -7;
    char c = '\u20ac';
    short s = -12345;
    int i = 0x12345678;
    long j = 0x1122334455667788L;
    float f = 1.5f;
    double d = -2.25;
  }

  static class Node {
    final int id;
    Node next;

    Node(int id) {
      this.id = id;
    }
  }

  static class Statics {
    static boolean sz = true;
    static byte sb = 99;
    static char sc = 'Q';
    static short ss = -2;
    static int si = -100000;
    static long sj = Long.MIN_VALUE + 5;
    static float sf = -0.5f;
    static double sd = 1e300;
    static Object sref;
  }

  static Leaf leaf;
  static Primitives primitives;
  static Node cycle;
  static Object[] objects;
  static Leaf[] leaves;
  static boolean[] booleans = {true, false, true};
  static byte[] bytes = {1, -1, 127};
  static char[] chars = {'a', '\uffff'};
  static short[] shorts = {-32768, 32767};
  static int[] ints = {1, -2, 3};
  static long[] longs = {Long.MAX_VALUE, -1L};
  static float[] floats = {-0.0f, 3.25f};
  static double[] doubles = {Math.PI};

  static native void holdGlobal(Object object);

  static volatile boolean release;

  static void build() {
    leaf = new Leaf();
    Middle middle = new Middle();
    middle.middleValue = 5;
    leaf.middleRef = middle;
    leaf.baseRef = leaf;
    primitives = new Primitives();
    Node first = new Node(1);
    Node second = new Node(2);
    first.next = second;
    second.next = first;
    cycle = first;
    leaves = new Leaf[] {leaf, null};
    objects = new Object[] {leaf, primitives, null, ints, "element-text"};
    Statics.sref = leaf;
  }

  // Holds its local until released; the heap's roots show it in this frame.
  static void parkAndHold(CountDownLatch parked) {
    Primitives heldLocal = new Primitives();
    heldLocal.i = 777;
    parked.countDown();
    while (!release) LockSupport.park();
    if (heldLocal.i != 777) throw new AssertionError();
  }

  public static void main(String[] args) throws Exception {
    build();
    if (args[0].equals("exit")) {
      System.out.println("leaving");
      return;
    }
    System.load(args[3]);
    holdGlobal(new Node(4242));
    CountDownLatch parked = new CountDownLatch(1);
    Thread holder = new Thread(() -> parkAndHold(parked), "known-parked");
    holder.start();
    parked.await();
    System.out.println("memory=" + AgentCalls.callback("captureSnapshot", String.class, int.class, long.class)
        .invoke(null, args[1], 0, 1L));
    System.out.println("performance=" + AgentCalls.callback("captureSnapshot", String.class, int.class, long.class)
        .invoke(null, args[2], 0, 0L));
    release = true;
    LockSupport.unpark(holder);
    holder.join();
    System.out.println("leaving");
  }
}
