import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.concurrent.CountDownLatch;

// Drives CPU sampling and the telemetry stacks through the agent's natives, as its Java side does. Run
// with --add-opens java.base/sun.nio.ch=ALL-UNNAMED for the table replies (see AgentCalls).
public class SamplingCalls {
  static final int STACK_TELEMETRY = 0x200;
  // "string", "thread", "method", "thread_frame", "cpu_profiling", "frame" and "code_point".
  static final int PROFILE_TABLES = 0x1 | 0x2 | 0x4 | 0x8 | 0x20 | 0x80 | 0x10000;

  static volatile boolean stop;
  static volatile long sink;

  static long status() throws Exception {
    return (Long) AgentCalls.callback("getStatus").invoke(null);
  }

  // Each step is "start:<mode>", "start:<mode>:<settings>" or "stop:<report>"; each prints
  // "<step> -> <answer> status=0x<status>", the answer of a stop being "-".
  static void control(String[] steps) throws Exception {
    Method start = AgentCalls.callback("startCpuProfiling", long.class, String.class);
    Method stop = AgentCalls.callback("stopCpuProfiling", boolean.class);
    System.out.println("status=0x" + Long.toHexString(status()));
    for (String step : steps) {
      String[] parts = step.split(":", 3);
      Object answer = "-";
      if (parts[0].equals("start")) {
        answer = start.invoke(null, Long.decode(parts[1]), parts.length == 3 ? parts[2] : null);
      } else {
        stop.invoke(null, Boolean.parseBoolean(parts[1]));
      }
      System.out.println(step + " -> " + answer + " status=0x" + Long.toHexString(status()));
    }
  }

  static void spinInFirstMethod(long ms) {
    long end = System.nanoTime() + ms * 1000000;
    long sum = 0;
    while (System.nanoTime() < end) {
      sum += sum ^ end;
    }
    sink = sum;
  }

  static void spinInSecondMethod() {
    long sum = 0;
    while (!stop) {
      sum += sum ^ System.nanoTime();
    }
    sink = sum;
  }

  // Under sampling: a thread "worker" busy in a first method, then waiting while the first reply is
  // taken (rows since stamp 0), then busy in a second method while the second reply is taken (rows
  // changed since stamp 1, the stamp of the first reply).
  static void replies(String firstFile, String secondFile) throws Exception {
    CountDownLatch firstDone = new CountDownLatch(1);
    CountDownLatch firstReplyTaken = new CountDownLatch(1);
    Thread worker = new Thread(() -> {
      spinInFirstMethod(400);
      firstDone.countDown();
      try {
        firstReplyTaken.await();
      } catch (InterruptedException e) {
        throw new RuntimeException(e);
      }
      spinInSecondMethod();
    }, "worker");
    worker.start();
    firstDone.await();
    Files.write(Paths.get(firstFile), AgentCalls.tableReply(PROFILE_TABLES));
    firstReplyTaken.countDown();
    Thread.sleep(400);
    int[] since = new int[20];
    java.util.Arrays.fill(since, 1);
    Files.write(Paths.get(secondFile), AgentCalls.tableReply(PROFILE_TABLES, since));
    stop = true;
    worker.join();
  }

  static void waitInOneMethod(Object lock) throws InterruptedException {
    synchronized (lock) {
      while (!stop) {
        lock.wait();
      }
    }
  }

  static void storeTelemetryRecord() throws Exception {
    AgentCalls.callback("storeTelemetryRecord", int[].class, int[].class, int[].class, int[].class)
        .invoke(null, new int[1], new int[12], new int[0], new int[0]);
  }

  // A thread "waiter" parked in Object.wait and a thread "spinner" busy, through two telemetry records
  // 1 s apart; prints the agent's uptime before and after, in ms, and the frozen threads older than
  // 500 ms, then writes the tables that name their threads and frames to `replyFile`. With "on" stack
  // telemetry is switched on first unless start-up left it on.
  static void frozenThreads(String telemetry, String replyFile) throws Exception {
    AgentCalls.callback("startStackTelemetry").invoke(null);
    System.out.println("status=0x" + Long.toHexString(status()));
    Object lock = new Object();
    Thread waiter = new Thread(() -> {
      try {
        waitInOneMethod(lock);
      } catch (InterruptedException e) {
        throw new RuntimeException(e);
      }
    }, "waiter");
    Thread spinner = new Thread(SamplingCalls::spinInSecondMethod, "spinner");
    waiter.start();
    spinner.start();
    while (waiter.getState() != Thread.State.WAITING) {
      Thread.sleep(10);
    }
    Method uptime = AgentCalls.callback("getUptimeMs");
    System.out.println("uptime before: " + uptime.invoke(null));
    storeTelemetryRecord();
    Thread.sleep(1000);
    storeTelemetryRecord();
    if (telemetry.equals("stopped")) {
      AgentCalls.callback("stopStackTelemetry").invoke(null);
    }
    int[] frozen = (int[]) AgentCalls.callback("getFrozenThreadsImpl", long.class).invoke(null, 500L);
    System.out.println("uptime after: " + uptime.invoke(null));
    StringBuilder line = new StringBuilder("frozen:");
    for (int value : frozen) {
      line.append(' ').append(value);
    }
    System.out.println(line);
    Files.write(Paths.get(replyFile), AgentCalls.tableReply(PROFILE_TABLES));
    stop = true;
    synchronized (lock) {
      lock.notifyAll();
    }
    waiter.join();
    spinner.join();
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "control":
        control(java.util.Arrays.copyOfRange(args, 1, args.length));
        break;
      case "replies":
        replies(args[1], args[2]);
        break;
      case "frozenThreads":
        frozenThreads(args[1], args[2]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
