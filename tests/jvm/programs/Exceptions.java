import java.nio.file.Files;
import java.nio.file.Paths;

// Throws and catches exceptions of a known shape for the tests of exception recording, with the
// exception natives called as the agent's Java side calls them. Run with
// --add-opens java.base/sun.nio.ch=ALL-UNNAMED for the table reply (see AgentCalls). Each case has an
// exception class of its own, so that the tests find its rows by class.
public class Exceptions {
  // string, thread, method, thread_frame, cpu_profiling, frame, exception, code_point
  static final int TABLES = 0x1 | 0x2 | 0x4 | 0x8 | 0x20 | 0x80 | 0x4000 | 0x10000;

  static final class Unrecorded extends RuntimeException {}

  static final class BeforeClear extends RuntimeException {}

  static final class Here extends RuntimeException {}

  static final class Up extends RuntimeException {}

  static final class Uncaught extends RuntimeException {}

  static final class Rethrown extends RuntimeException {}

  static final class AfterStop extends RuntimeException {}

  static final class Traced extends RuntimeException {}

  static final class AfterTracing extends RuntimeException {}

  static volatile int sink;

  static void call(String name) throws Exception {
    AgentCalls.callback(name).invoke(null);
  }

  static void caughtHere(RuntimeException thrown) {
    try {
      throw thrown;
    } catch (RuntimeException e) {
      sink++;
    }
  }

  // Caught in upTop, thrown three frames further down.
  static void upTop() {
    try {
      up1();
    } catch (Up e) {
      sink++;
    }
  }

  static void up1() {
    up2();
  }

  static void up2() {
    up3();
  }

  static void up3() {
    throw new Up();
  }

  // Thrown in rethrowInner, caught there and thrown again, then caught in rethrowOuter.
  static void rethrowOuter() {
    try {
      rethrowInner();
    } catch (Rethrown e) {
      sink++;
    }
  }

  static void rethrowInner() {
    try {
      throw new Rethrown();
    } catch (Rethrown e) {
      sink++;
      throw e;
    }
  }

  static void dying() throws InterruptedException {
    Thread thread = new Thread(() -> {
      throw new Uncaught();
    }, "dying");
    thread.setUncaughtExceptionHandler((t, e) -> System.out.println("died of " + e.getClass().getName()));
    thread.start();
    thread.join();
  }

  // Off, then on, cleared, the cases, a reply, then off again.
  static void cases(String replyFile) throws Exception {
    caughtHere(new Unrecorded());
    call("startExceptionProfiling");
    call("startExceptionProfiling");
    for (int i = 0; i < 5; i++) {
      caughtHere(new BeforeClear());
      caughtHere(new Here());
    }
    call("clearExceptions");
    for (int i = 0; i < 3; i++) {
      caughtHere(new Here());
    }
    for (int i = 0; i < 2; i++) {
      upTop();
    }
    rethrowOuter();
    dying();
    Files.write(Paths.get(replyFile), AgentCalls.tableReply(TABLES));
    call("stopExceptionProfiling");
    call("stopExceptionProfiling");
    caughtHere(new AfterStop());
    System.out.println("cases done");
  }

  static void tracedThrow() {
    throw new Traced();
  }

  static void tracedCase() {
    try {
      tracedThrow();
    } catch (Traced e) {
      sink++;
    }
  }

  // Under CPU tracing, on a thread of its own.
  static void traced(String replyFile) throws Exception {
    Thread thread = new Thread(() -> {
      for (int i = 0; i < 4; i++) {
        tracedCase();
      }
    }, "traced");
    thread.start();
    thread.join();
    Files.write(Paths.get(replyFile), AgentCalls.tableReply(TABLES));
    System.out.println("traced done");
  }

  // CPU tracing follows this thread's stack, then stops; the throws after the stop are no longer traced.
  static void afterTracing() throws Exception {
    AgentCalls.callback("startCpuProfiling", long.class, String.class).invoke(null, 12L, null);
    tracedCase();
    AgentCalls.callback("stopCpuProfiling", boolean.class).invoke(null, false);
    for (int i = 0; i < 3; i++) {
      caughtHere(new AfterTracing());
    }
    System.out.println("after tracing done");
  }

  // Throws and catches `count` exceptions in a loop and prints the ns per exception.
  static void loop(int count) {
    for (int round = 0; round < 2; round++) {
      long start = System.nanoTime();
      for (int i = 0; i < count; i++) {
        caughtHere(new Here());
      }
      long elapsed = System.nanoTime() - start;
      if (round == 1) {
        System.out.println("ns per exception: " + elapsed / count);
      }
    }
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "cases":
        cases(args[1]);
        break;
      case "traced":
        traced(args[1]);
        break;
      case "afterTracing":
        afterTracing();
        break;
      case "loop":
        loop(Integer.parseInt(args[1]));
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
