/** How the exit tests' programs leave while their threads are busy. */
final class Leaving {
  private Leaving() {}

  /** Lets the busy threads run a while, says "leaving", then ends by System.exit or by returning. */
  static void leave(String how) throws InterruptedException {
    Thread.sleep(300);
    System.out.println("leaving");
    if (how.equals("exit")) {
      System.exit(0);
    }
  }
}
