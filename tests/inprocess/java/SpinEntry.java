// The outermost frame of a parked stack: main calls Spinner.run from the marked line.
public final class SpinEntry {
  private SpinEntry() {}

  public static void main(String[] args) {
    int count = args.length;
    Spinner.run();  // line: main-calls-run
  }
}
