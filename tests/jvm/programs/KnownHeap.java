import java.io.File;
import java.util.TreeMap;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.locks.LockSupport;

// A heap whose objects the memory snapshot tests know: a class hierarchy with interface constants,
// every primitive field type, statics, object and primitive arrays, a cycle, an object held by a JNI
// global reference only and one held by a parked thread's local variable.
//   KnownHeap snapshots <memory path> <performance path> <helper library>
//     takes a memory and a performance snapshot while the thread is parked
//   KnownHeap exit
//     builds the heap and leaves, for the snapshot on exit
//   KnownHeap counts <memory path> <gate directory> <helper library>
//     prints "built" and waits for the file "snapshot" in the gate directory, takes a memory snapshot,
//     prints "captured" and waits for the file "leave", so that a test can look at the parked heap
//   KnownHeap broken <path>...
//     takes a memory snapshot to each path and prints what the call returned and what is left of the file
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

  static Object capture(String path, long flags) throws Exception {
    return AgentCalls.callback("captureSnapshot", String.class, int.class, long.class).invoke(null, path, 0, flags);
  }

  static void awaitFile(File file) throws InterruptedException {
    while (!file.exists()) Thread.sleep(20);
  }

  // Instances of JDK classes that the JVM itself makes few of, in a number the tests know.
  static TreeMap<Integer, Integer> tree;

  public static void main(String[] args) throws Exception {
    build();
    if (args[0].equals("exit")) {
      System.out.println("leaving");
      return;
    }
    if (args[0].equals("broken")) {
      for (int i = 1; i < args.length; i++) {
        File file = new File(args[i]);
        System.out.println(args[i] + ": result=" + capture(args[i], 1L) + " exists=" + file.exists() + " length="
            + file.length());
      }
      return;
    }
    boolean counts = args[0].equals("counts");
    System.load(args[3]);
    holdGlobal(new Node(4242));
    CountDownLatch parked = new CountDownLatch(1);
    Thread holder = new Thread(() -> parkAndHold(parked), "known-parked");
    holder.start();
    parked.await();
    if (counts) {
      tree = new TreeMap<>();
      for (int i = 0; i < 500; i++) tree.put(i, -i);
      File gate = new File(args[2]);
      System.gc();  // fewer objects to count; no collection follows while the program waits
      System.out.println("built");
      awaitFile(new File(gate, "snapshot"));
      System.out.println("memory=" + capture(args[1], 1L));
      System.out.println("captured");
      awaitFile(new File(gate, "leave"));
    } else {
      System.out.println("memory=" + capture(args[1], 1L));
      System.out.println("performance=" + capture(args[2], 0L));
    }
    release = true;
    LockSupport.unpark(holder);
    holder.join();
    System.out.println("leaving");
  }
}
