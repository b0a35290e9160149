import java.io.File;
import java.lang.reflect.Method;
import java.util.concurrent.CountDownLatch;

// Leaves (see Leaving) while the agent works for another thread over and over:
//   WorkAtExit retransforming <way> <probe archive>
//     CPU tracing started and stopped, each retransforming the classes whose instrumentation depends on
//     it, and a probe of the archive registered and unregistered, retransforming its target; threads
//     make traced calls meanwhile
//   WorkAtExit capturing <way> <directory>
//     memory snapshots written one after the other, each over the one before in the directory, while
//     threads allocate and relink objects (ChurningHeap); a short pause after each lets the other
//     threads, which a snapshot suspends, go on
public class WorkAtExit {
  interface Round {
    void run(int round) throws Exception;
  }

  static final CountDownLatch firstRoundDone = new CountDownLatch(1);
  static volatile long sink;

  static Object call(String name, Class<?>[] parameters, Object... arguments) throws Exception {
    Method method = Class.forName("com.brantel.runtime.Callback").getMethod(name, parameters);
    return method.invoke(null, arguments);
  }

  // A daemon thread runs the rounds until the process ends.
  static void repeat(String name, Round round) {
    Thread worker = new Thread(() -> {
      try {
        for (int i = 0; ; i++) {
          round.run(i);
          firstRoundDone.countDown();
        }
      } catch (Exception e) {
        throw new RuntimeException(e);
      }
    }, name);
    worker.setDaemon(true);
    worker.start();
  }

  static void busy(String name, Runnable work) {
    Thread thread = new Thread(work, name);
    thread.setDaemon(true);
    thread.start();
  }

  static long calls(int depth) {
    if (depth == 0) {
      return 1;
    }
    long sum = 0;
    for (int i = 0; i < 3; i++) {
      sum += calls(depth - 1);
    }
    return sum;
  }

  static void retransforming(String probes) throws Exception {
    Class<?>[] startParameters = {long.class, String.class};
    Class<?>[] stopParameters = {boolean.class};
    Class<?>[] namesParameter = {String[].class};
    Object[] probe = {new String[] {"dynamic.TargetProbe"}};
    call("addProbePath", new Class<?>[] {String.class}, probes);
    Class.forName("ProbeTarget");
    for (int i = 0; i < 4; i++) {
      busy("caller-" + i, () -> {
        while (true) {
          sink += calls(6);
        }
      });
    }
    repeat("retransforming", round -> {
      call("startCpuProfiling", startParameters, 12L, null);
      call("registerProbesByName", namesParameter, probe);
      call("stopCpuProfiling", stopParameters, false);
      call("unregisterProbes", namesParameter, probe);
    });
  }

  static void capturing(String directory) {
    for (int i = 0; i < 4; i++) {
      long seed = i + 1;
      busy("churn-" + i, () -> ChurningHeap.churn(seed));
    }
    Class<?>[] captureParameters = {String.class, int.class, long.class};
    String path = new File(directory, "memory.snapshot").getPath();
    repeat("capturing", round -> {
      Object refusal = call("captureSnapshot", captureParameters, path, 0, 1L);
      if (refusal != null) {
        throw new IllegalStateException("memory snapshot " + round + ": " + refusal);
      }
      Thread.sleep(20);
    });
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "retransforming":
        retransforming(args[2]);
        break;
      case "capturing":
        capturing(args[2]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
    firstRoundDone.await();
    Leaving.leave(args[1]);
  }
}
