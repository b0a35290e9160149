/** How the exit tests' programs leave while their threads are busy. */
final class Leaving {
  /** The exit code of the ways that call System.exit, which the run must end with. */
  static final int EXIT_CODE = 3;

  private Leaving() {}

  /**
   * Lets the busy threads run a while, says "leaving", then ends by System.exit on this thread ("exit"),
   * by System.exit on another thread while this one waits for it ("exitFromThread"), or by returning.
   */
  static void leave(String how) throws InterruptedException {
    Thread.sleep(300);
    System.out.println("leaving");
    if (how.equals("exit")) {
      System.exit(EXIT_CODE);
    } else if (how.equals("exitFromThread")) {
      Thread exiting = new Thread(() -> System.exit(EXIT_CODE), "exiting");
      exiting.start();
      exiting.join();
    } else if (!how.equals("return")) {
      throw new IllegalArgumentException(how);
    }
  }
}
