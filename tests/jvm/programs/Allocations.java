import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;

// Allocates from known sites under allocation recording, and drives the recording natives as the
// agent's Java side does.
@SuppressWarnings("unchecked")
public class Allocations {
  static final class Item {
    final long value;

    Item(long value) {
      this.value = value;
    }
  }

  static volatile Object sink;
  static volatile boolean go;
  static volatile boolean done;

  static native Object jniNewItem(Class<?> item, long value);

  static native Object[] jniNewObjectArray(Class<?> element, int length);

  static native int[] jniNewIntArray(int length);

  static long status() throws Exception {
    return (Long) AgentCalls.callback("getStatus").invoke(null);
  }

  static int setting(String name) throws Exception {
    return (Integer) AgentCalls.callback("getAllocationRecordingSettings" + name).invoke(null);
  }

  static Object start(int recordEach, int sizeLimit, long mode) throws Exception {
    Method start = AgentCalls.callback("startAllocationRecording", int.class, int.class, long.class, String.class);
    return start.invoke(null, recordEach, sizeLimit, mode, null);
  }

  static void stop() throws Exception {
    AgentCalls.callback("stopAllocationRecording").invoke(null);
  }

  // Each step is "start:<recordEach>:<sizeLimit>:<mode>" or "stop"; each prints "<step> -> <answer>
  // status=0x<status> each=<recordEach> limit=<sizeLimit>", the answer of a stop being "-".
  static void control(String[] steps) throws Exception {
    System.out.println("status=0x" + Long.toHexString(status()));
    for (String step : steps) {
      String[] parts = step.split(":");
      Object answer = "-";
      if (parts[0].equals("start")) {
        answer = start(Integer.parseInt(parts[1]), Integer.parseInt(parts[2]), Long.decode(parts[3]));
      } else {
        stop();
      }
      System.out.println(step + " -> " + answer + " status=0x" + Long.toHexString(status()) + " each="
          + setting("RecordEach") + " limit=" + setting("SizeLimit"));
    }
  }

  static List<Item> allocateItems(int count) {
    List<Item> items = new ArrayList<>(count);
    for (int i = 0; i < count; i++) {
      items.add(new Item(i));
    }
    return items;
  }

  static void allocateLarge(int count) {
    for (int i = 0; i < count; i++) {
      sink = new long[1024];
    }
  }

  interface Work {
    void run() throws Exception;
  }

  // The work on a thread started now: a thread that runs when the JVM's heap sampling interval changes
  // keeps its next sample point of the old interval, a new one samples by the new interval at once.
  static void inFreshThread(Work work) throws Exception {
    Throwable[] failure = new Throwable[1];
    Thread thread = new Thread(() -> {
      try {
        work.run();
      } catch (Throwable t) {
        failure[0] = t;
      }
    }, "fresh");
    thread.start();
    thread.join();
    if (failure[0] instanceof Exception) {
      throw (Exception) failure[0];
    }
    if (failure[0] != null) {
      throw new RuntimeException(failure[0]);
    }
  }

  // `count` items from one site, held; with "collect" then dropped and collected before the exit.
  static void site(int count, boolean collect) throws Exception {
    inFreshThread(() -> sink = allocateItems(count));
    List<Item> items = (List<Item>) sink;
    if (collect) {
      Thread.sleep(200);
      items = null;
      sink = null;
      for (int i = 0; i < 5; i++) {
        System.gc();
        Thread.sleep(50);
      }
    }
    System.out.println("allocated=" + count + " counted=" + AgentCalls.callback("getNativeAllocationCounterResult").invoke(null)
        + " bytes=" + AgentCalls.callback("getTotalCreatedObjectSize").invoke(null));
  }

  static void fill(Item[] into) {
    for (int i = 0; i < into.length; i++) {
      into[i] = new Item(i);
    }
  }

  // A fresh thread, whose countdown starts at 0, allocates `small` items and then `large` arrays of
  // 8 KB with nothing else between.
  static void sampled(int small, int large) throws Exception {
    Item[] items = new Item[small];
    sink = items;
    Thread worker = new Thread("sampled") {
      @Override
      public void run() {
        fill(items);
        allocateLarge(large);
      }
    };
    worker.start();
    worker.join();
    System.out.println("sampled done");
  }

  // `count` items made by the main thread, then `count` by a worker that ran, and allocated, before them;
  // with "here" this program starts the recording (exact stacks, every object) just before them.
  static void exact(int count, boolean startHere) throws Exception {
    Item[] onWorker = new Item[count];
    CountDownLatch warmedUp = new CountDownLatch(1);
    CountDownLatch release = new CountDownLatch(1);
    Thread worker = new Thread(() -> {
      for (int i = 0; i < 1000; i++) {
        sink = new byte[64];
      }
      warmedUp.countDown();
      try {
        release.await();
      } catch (InterruptedException e) {
        throw new RuntimeException(e);
      }
      fill(onWorker);
    }, "worker");
    worker.start();
    warmedUp.await();
    if (startHere) {
      System.out.println("start -> " + start(1, 0, 2));
    }
    sink = allocateItems(count);
    release.countDown();
    worker.join();
    sink = onWorker;
    System.out.println("exact done");
  }

  // Object counting started here, then `count` items from one site.
  static void counting(int count) throws Exception {
    System.out.println("start -> " + start(0, 0, 0x4002));
    inFreshThread(() -> sink = allocateItems(count));
    System.out.println("counting done");
  }

  // One object of each JNI function, then NewIntArray(-1), whose exception must reach this caller.
  static void jni(String library) throws Exception {
    System.load(library);
    inFreshThread(() -> {
      sink = jniNewItem(Item.class, 42);
      sink = jniNewObjectArray(Item.class, 3);
      sink = jniNewIntArray(5);
      try {
        sink = jniNewIntArray(-1);
        System.out.println("negative length: no exception");
      } catch (NegativeArraySizeException expected) {
        System.out.println("negative length: NegativeArraySizeException");
      }
    });
  }

  static volatile boolean refuseCallbackBodies;

  // Starts whose Callback bodies the JVM refuses (a transformer of the redefining test agent breaks the
  // class), then a start that succeeds. Needs the agent's instrumentation road.
  static void refusedBodies() throws Exception {
    java.lang.instrument.Instrumentation instrumentation =
        (java.lang.instrument.Instrumentation) Class.forName("RoadAgent").getField("instrumentation").get(null);
    instrumentation.addTransformer(new java.lang.instrument.ClassFileTransformer() {
      @Override
      public byte[] transform(ClassLoader loader, String name, Class<?> redefined,
          java.security.ProtectionDomain domain, byte[] bytes) {
        return refuseCallbackBodies && "com/brantel/runtime/Callback".equals(name) ? new byte[] {1, 2, 3} : null;
      }
    });
    System.out.println("status=0x" + Long.toHexString(status()));
    refuseCallbackBodies = true;
    System.out.println("start:1:0:2 -> " + start(1, 0, 2) + " status=0x" + Long.toHexString(status()));
    System.out.println("start:0:0:0x4002 -> " + start(0, 0, 0x4002) + " status=0x" + Long.toHexString(status()));
    refuseCallbackBodies = false;
    System.out.println("start:1:0:2 -> " + start(1, 0, 2) + " status=0x" + Long.toHexString(status()));
    inFreshThread(() -> sink = allocateItems(10));
    System.out.println("counted=" + AgentCalls.callback("getNativeAllocationCounterResult").invoke(null));
  }

  static void exitWhileAllocating(String how) throws Exception {
    for (int i = 0; i < 8; i++) {
      Thread allocator = new Thread(() -> {
        while (true) {
          sink = allocateItems(100);
          allocateLarge(1);
        }
      }, "allocator-" + i);
      allocator.setDaemon(true);
      allocator.start();
    }
    Thread.sleep(20);
    Leaving.leave(how);
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "control":
        control(java.util.Arrays.copyOfRange(args, 1, args.length));
        break;
      case "site":
        site(Integer.parseInt(args[1]), args.length > 2 && args[2].equals("collect"));
        break;
      case "sampled":
        sampled(Integer.parseInt(args[1]), Integer.parseInt(args[2]));
        break;
      case "exact":
        exact(Integer.parseInt(args[1]), args[2].equals("here"));
        break;
      case "counting":
        counting(Integer.parseInt(args[1]));
        break;
      case "jni":
        jni(args[1]);
        break;
      case "refusedBodies":
        refusedBodies();
        break;
      case "exitWhileAllocating":
        exitWhileAllocating(args[1]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
