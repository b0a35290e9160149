import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

// A mixed workload for soak runs: one thread per kind of work of SoakTasks, each repeating its round
// until the run ends and comparing every round's checksum with its first. What it prints does not
// depend on how long it ran or on the agent: one line when the work runs, then one line per kind of work.
//   SoakWorkload <seconds>
//     the workload alone for that long
//   SoakWorkload <seconds> <driver directory> <probe archive> <seed> [<go file>]
//     with SoakDriver switching the agent's recordings for that long, after the go file appears when
//     one is named (a test attaches the agent meanwhile)
public class SoakWorkload {
  static volatile boolean stop;

  static final class Work extends Thread {
    private final SoakTasks.Round round;
    private long expected;
    private String failure;

    Work(String kind, SoakTasks.Round round) {
      super(kind);
      this.round = round;
    }

    @Override
    public void run() {
      int rounds = 0;
      try {
        do {
          final long result = round.run(rounds);
          if (rounds == 0) {
            expected = result;
          } else if (result != expected && failure == null) {
            failure = "round " + rounds + " gave " + result + " where the first gave " + expected;
          }
          rounds++;
        } while (!stop);
      } catch (Throwable t) {
        failure = "round " + rounds + " threw " + t;
      }
    }

    String summary() {
      return getName() + ": " + (failure != null ? failure : expected + " in every round");
    }
  }

  public static void main(String[] args) throws Exception {
    final double seconds = Double.parseDouble(args[0]);
    final Work[] works = {
        new Work("cpu", SoakTasks::cpu), new Work("allocations", SoakTasks::allocations),
        new Work("monitors", SoakTasks::monitors), new Work("exceptions", SoakTasks::exceptions),
        new Work("classes", SoakTasks::classes)};
    for (Work work : works) work.start();
    System.out.println("workload running");
    System.out.flush();
    if (args.length > 1) {
      if (args.length > 4) {
        final Path go = Paths.get(args[4]);
        while (!Files.exists(go)) Thread.sleep(20);
      }
      final SoakDriver driver = new SoakDriver(Paths.get(args[1]), Paths.get(args[2]), Long.parseLong(args[3]));
      final Thread driving = new Thread(() -> driver.run(seconds), "soak-driver");
      driving.start();
      driving.join();
    } else {
      Thread.sleep((long) (seconds * 1000));
    }
    stop = true;
    for (Work work : works) {
      work.join();
      System.out.println(work.summary());
    }
  }
}
