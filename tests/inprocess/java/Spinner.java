// The leaf of the parked stacks: run() spins on the marked line until stop() is called. The tests read
// the marked lines from this file, so edits above them move nothing they rely on.
public final class Spinner {
  private static volatile boolean spinning;
  private static volatile boolean stopped;

  private Spinner() {}

  // Makes the next run() spin again; called before the spinning thread starts.
  public static void reset() {
    stopped = false;
    spinning = false;
  }

  public static boolean isSpinning() {
    return spinning;
  }

  public static void stop() {
    stopped = true;
  }

  public static void run() {
    long turns = 0;
    spinning = true;
    // The whole loop is on one line, so that every location the thread can be caught at maps to it.
    while (!stopped) turns++;  // line: spin
  }
}
