import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.Field;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.ProtectionDomain;
import java.util.Arrays;
import java.util.concurrent.CountDownLatch;

// Calls of a known shape for the tests of CPU tracing and call counting, with the CPU profiling natives
// called as the agent's Java side calls them. Run with --add-opens java.base/sun.nio.ch=ALL-UNNAMED for
// the table replies (see AgentCalls). The tests name the lines marked "line".
public class TracedCalls {
  static final long TRACING = 12;
  static final long CALL_COUNTING = 0x1004;
  // The profile tables of SamplingCalls and "call_count".
  static final int TABLES = SamplingCalls.PROFILE_TABLES | 1 << 17;

  static volatile long sink;
  static volatile boolean refuseCallbackBodies;

  // a calls b 1000 times and c 300 times; each c calls c twice deeper.
  static void a() {
    for (int i = 0; i < 1000; i++) {
      b(i);  // line 25
    }
    for (int i = 0; i < 300; i++) {
      c(3);  // line 28
    }
  }

  // Methods without a loop or a call, short as these would be, are left uninstrumented.
  static void b(int i) {
    for (int k = 0; k < 2; k++) {
      sink += i;
    }
  }

  static void c(int depth) {
    if (depth > 1) {
      c(depth - 1);  // line 41
    } else {
      sink++;
    }
  }

  static void counted() {
    for (int k = 0; k < 2; k++) {
      sink++;
    }
  }

  static int tiny(int i) {
    int sum = 0;
    for (int k = 0; k < 2; k++) {
      sum += i;
    }
    return sum;
  }

  // A method of more than 2048 bytes of code, whose line callbacks follow whether tracing runs.
  static final class Large {
    static int pick(int k) {
      int[] values = {
        128, 129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 141, 142, 143,
        144, 145, 146, 147, 148, 149, 150, 151, 152, 153, 154, 155, 156, 157, 158, 159,
        160, 161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 173, 174, 175,
        176, 177, 178, 179, 180, 181, 182, 183, 184, 185, 186, 187, 188, 189, 190, 191,
        192, 193, 194, 195, 196, 197, 198, 199, 200, 201, 202, 203, 204, 205, 206, 207,
        208, 209, 210, 211, 212, 213, 214, 215, 216, 217, 218, 219, 220, 221, 222, 223,
        224, 225, 226, 227, 228, 229, 230, 231, 232, 233, 234, 235, 236, 237, 238, 239,
        240, 241, 242, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252, 253, 254, 255,
        256, 257, 258, 259, 260, 261, 262, 263, 264, 265, 266, 267, 268, 269, 270, 271,
        272, 273, 274, 275, 276, 277, 278, 279, 280, 281, 282, 283, 284, 285, 286, 287,
        288, 289, 290, 291, 292, 293, 294, 295, 296, 297, 298, 299, 300, 301, 302, 303,
        304, 305, 306, 307, 308, 309, 310, 311, 312, 313, 314, 315, 316, 317, 318, 319,
        320, 321, 322, 323, 324, 325, 326, 327, 328, 329, 330, 331, 332, 333, 334, 335,
        336, 337, 338, 339, 340, 341, 342, 343, 344, 345, 346, 347, 348, 349, 350, 351,
        352, 353, 354, 355, 356, 357, 358, 359, 360, 361, 362, 363, 364, 365, 366, 367,
        368, 369, 370, 371, 372, 373, 374, 375, 376, 377, 378, 379, 380, 381, 382, 383,
        384, 385, 386, 387, 388, 389, 390, 391, 392, 393, 394, 395, 396, 397, 398, 399,
        400, 401, 402, 403, 404, 405, 406, 407, 408, 409, 410, 411, 412, 413, 414, 415,
        416, 417, 418, 419, 420, 421, 422, 423, 424, 425, 426, 427, 428, 429, 430, 431,
        432, 433, 434, 435, 436, 437, 438, 439, 440, 441, 442, 443, 444, 445, 446, 447
      };
      return values[k % values.length];
    }
  }

  static String start(long mode) throws Exception {
    return (String) AgentCalls.callback("startCpuProfiling", long.class, String.class).invoke(null, mode, null);
  }

  static void stop(boolean report) throws Exception {
    AgentCalls.callback("stopCpuProfiling", boolean.class).invoke(null, report);
  }

  static String status() throws Exception {
    return "status=0x" + Long.toHexString(SamplingCalls.status());
  }

  static void callCounted(int calls) {
    for (int i = 0; i < calls; i++) {
      counted();
    }
  }

  static void tree() {
    a();  // line 109
    System.out.println("tree done");
  }

  static void openCall(CountDownLatch entered, CountDownLatch release) throws InterruptedException {
    entered.countDown();
    release.await();
  }

  // A thread "worker" inside openCall while two replies are taken 300 ms apart, the first 300 ms after
  // it entered; the second has the rows changed since the first.
  static void openCallReplies(String firstFile, String secondFile) throws Exception {
    CountDownLatch entered = new CountDownLatch(1);
    CountDownLatch release = new CountDownLatch(1);
    Thread worker = new Thread(() -> {
      try {
        openCall(entered, release);
      } catch (InterruptedException e) {
        throw new RuntimeException(e);
      }
    }, "worker");
    worker.start();
    entered.await();
    Thread.sleep(300);
    Files.write(Paths.get(firstFile), AgentCalls.tableReply(TABLES));
    Thread.sleep(300);
    int[] since = new int[20];
    Arrays.fill(since, 1);
    Files.write(Paths.get(secondFile), AgentCalls.tableReply(TABLES, since));
    release.countDown();
    worker.join();
  }

  // Call counting while `threads` threads call counted() `calls` times each; the reply is taken before
  // the stop.
  static void counting(int threads, int calls, String replyFile) throws Exception {
    System.out.println("start -> " + start(CALL_COUNTING));
    Thread[] workers = new Thread[threads];
    for (int i = 0; i < threads; i++) {
      workers[i] = new Thread(() -> callCounted(calls), "counter-" + i);
      workers[i].start();
    }
    for (Thread worker : workers) {
      worker.join();
    }
    Files.write(Paths.get(replyFile), AgentCalls.tableReply(TABLES));
    stop(true);
  }

  // Under tracing: a short method called often, then the method ids the Callback class was told to skip.
  static void adaptive(int calls) throws Exception {
    long sum = 0;
    for (int i = 0; i < calls; i++) {
      sum += tiny(i);
    }
    sink = sum;
    Field field = Class.forName("com.brantel.runtime.Callback").getDeclaredField("excludedMethods");
    field.setAccessible(true);
    long[] excluded = (long[]) field.get(null);
    StringBuilder line = new StringBuilder("excluded:");
    for (int id = 0; excluded != null && id < excluded.length * 64; id++) {
      if ((excluded[id >>> 6] & (1L << id)) != 0) {
        line.append(' ').append(id);
      }
    }
    System.out.println(line);
  }

  // Large.pick once before tracing, then `calls` times while it runs.
  static void large(int calls) throws Exception {
    sink = Large.pick(0);
    System.out.println("start -> " + start(TRACING));
    for (int i = 0; i < calls; i++) {
      sink += Large.pick(i);
    }
    stop(true);
  }

  // Each phase calls counted() 100 times and takes a reply into its file: "off" with no CPU mode,
  // "tracing" and "counting" between the start and the stop of their mode.
  static void modes(String[] phases) throws Exception {
    for (String phase : phases) {
      String[] parts = phase.split(":", 2);
      long mode = parts[0].equals("tracing") ? TRACING : parts[0].equals("counting") ? CALL_COUNTING : 0;
      if (mode != 0) {
        System.out.println(parts[0] + " -> " + start(mode));
      }
      callCounted(100);
      Files.write(Paths.get(parts[1]), AgentCalls.tableReply(TABLES));
      if (mode != 0) {
        stop(false);
      }
    }
  }

  // Starts while another agent's transformer breaks every redefinition of the Callback class, then once
  // it no longer does; each step prints "<step> -> <answer> status=0x<status>".
  static void refusedBodies() throws Exception {
    Instrumentation instrumentation =
        (Instrumentation) Class.forName("RoadAgent").getField("instrumentation").get(null);
    instrumentation.addTransformer(new ClassFileTransformer() {
      @Override
      public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
          byte[] bytes) {
        return refuseCallbackBodies && "com/brantel/runtime/Callback".equals(name) ? new byte[] {1, 2, 3} : null;
      }
    });
    System.out.println(status());
    refuseCallbackBodies = true;
    System.out.println("start:12 -> " + start(TRACING) + " " + status());
    System.out.println("start:0x1004 -> " + start(CALL_COUNTING) + " " + status());
    refuseCallbackBodies = false;
    System.out.println("start:12 -> " + start(TRACING) + " " + status());
    stop(false);
    System.out.println("stop:false -> - " + status());
  }

  // Leaves while eight threads make traced calls, bursts of about 2000 with a millisecond's rest between
  // them, so that many such runs at once still leave the machine some time for their exits.
  static void exitWhileTraced(String how) throws Exception {
    for (int i = 0; i < 8; i++) {
      Thread caller = new Thread(() -> {
        try {
          while (true) {
            a();
            Thread.sleep(1);
          }
        } catch (InterruptedException e) {
          throw new RuntimeException(e);
        }
      }, "caller-" + i);
      caller.setDaemon(true);
      caller.start();
    }
    Leaving.leave(how);
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "tree":
        tree();
        break;
      case "openCall":
        openCallReplies(args[1], args[2]);
        break;
      case "counting":
        counting(Integer.parseInt(args[1]), Integer.parseInt(args[2]), args[3]);
        break;
      case "adaptive":
        adaptive(Integer.parseInt(args[1]));
        break;
      case "large":
        large(Integer.parseInt(args[1]));
        break;
      case "modes":
        modes(Arrays.copyOfRange(args, 1, args.length));
        break;
      case "refusedBodies":
        refusedBodies();
        break;
      case "exitWhileTraced":
        exitWhileTraced(args[1]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
