// Calls that a probe observes (greet, divide, one of them throwing) and one that its patterns exclude
// (skipped); what the program prints must not change under the probe.
public class WovenWorkload {
  private final int base;

  WovenWorkload(int base) {
    this.base = base;
  }

  static String greet(String name) {
    return "hello " + name;
  }

  int divide(int dividend, int divisor) {
    return base + dividend / divisor;
  }

  static String skipped(String text) {
    return text;
  }

  public static void main(String[] args) {
    System.out.println(greet("ada"));
    final WovenWorkload workload = new WovenWorkload(0);
    System.out.println(workload.divide(84, 2));
    try {
      System.out.println(workload.divide(1, 0));
    } catch (ArithmeticException e) {
      System.out.println("caught " + e.getMessage());
    }
    System.out.println(skipped("quiet"));
  }
}
