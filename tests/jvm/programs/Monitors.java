import java.nio.file.Files;
import java.nio.file.Paths;

// Waits and contended monitor enters with known owners, hold times and sites, under monitor profiling,
// and the monitor natives driven as the agent's Java side does.
public class Monitors {
  static final class Lock {}

  static final int PROFILE_TABLES = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x80 | 0x10000;

  static volatile Object sink;

  static void enterContended(Lock lock) {
    synchronized (lock) {
      sink = lock;
    }
  }

  // `rounds` times: a thread "holder" takes the lock, waits until the calling thread is blocked on it,
  // holds it `holdMs` more and lets go, so that each round is one contended enter of about `holdMs`.
  static void contend(int rounds, long holdMs) throws Exception {
    Lock lock = new Lock();
    Thread waiter = Thread.currentThread();
    for (int i = 0; i < rounds; i++) {
      Object taken = new Object();
      boolean[] held = new boolean[1];
      Thread holder = new Thread(() -> {
        synchronized (lock) {
          synchronized (taken) {
            held[0] = true;
            taken.notifyAll();
          }
          while (waiter.getState() != Thread.State.BLOCKED) {
            Thread.onSpinWait();
          }
          try {
            Thread.sleep(holdMs);
          } catch (InterruptedException e) {
            throw new RuntimeException(e);
          }
        }
      }, "holder");
      holder.start();
      synchronized (taken) {
        while (!held[0]) {
          taken.wait();
        }
      }
      enterContended(lock);
      holder.join();
    }
  }

  static void timedWait(Lock lock, long timeoutMs) throws InterruptedException {
    synchronized (lock) {
      lock.wait(timeoutMs);
    }
  }

  static Object start() throws Exception {
    return AgentCalls.callback("startMonitorProfiling").invoke(null);
  }

  static void stop() throws Exception {
    AgentCalls.callback("stopMonitorProfiling").invoke(null);
  }

  // Each step is "start", "stop", "contend:<rounds>:<holdMs>", "wait:<timeoutMs>" or "reply:<file>"
  // (a table reply of the profile and monitor tables); starts print "start -> <answer>".
  static void steps(String[] steps) throws Exception {
    for (String step : steps) {
      String[] parts = step.split(":", 2);
      switch (parts[0]) {
        case "start":
          System.out.println("start -> " + start());
          break;
        case "stop":
          stop();
          System.out.println("stop");
          break;
        case "contend": {
          String[] figures = parts[1].split(":");
          contend(Integer.parseInt(figures[0]), Long.parseLong(figures[1]));
          break;
        }
        case "wait":
          timedWait(new Lock(), Long.parseLong(parts[1]));
          break;
        case "reply":
          Files.write(Paths.get(parts[1]), AgentCalls.tableReply(PROFILE_TABLES));
          break;
        default:
          throw new IllegalArgumentException(step);
      }
    }
    System.out.println("steps done");
  }

  static class Thrown extends RuntimeException {
    Thrown(int n) {
      super("thrown " + n);
    }
  }

  static void throwAndCatch(int n) {
    try {
      if (n >= 0) {
        throw new Thrown(n);
      }
    } catch (Thrown expected) {
      sink = expected;
    }
  }

  // Eight threads throw and contend for one lock, holding it briefly and waiting on it, until the exit.
  static void exitWhileContending(String how) throws Exception {
    Lock lock = new Lock();
    for (int i = 0; i < 8; i++) {
      Thread busy = new Thread(() -> {
        for (int n = 0; ; n++) {
          throwAndCatch(n);
          synchronized (lock) {
            try {
              if (n % 4 == 0) {
                lock.wait(1);
              } else {
                Thread.sleep(0, 100000);
              }
            } catch (InterruptedException e) {
              return;
            }
          }
        }
      }, "busy-" + i);
      busy.setDaemon(true);
      busy.start();
    }
    Thread.sleep(20);
    Leaving.leave(how);
  }

  public static void main(String[] args) throws Exception {
    switch (args[0]) {
      case "steps":
        steps(java.util.Arrays.copyOfRange(args, 1, args.length));
        break;
      case "exitWhileContending":
        exitWhileContending(args[1]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
