// A class whose retransformation ProbeCalls makes the JVM refuse for a while.
public class RefusedTarget {
  static void run() {
    System.out.println("refused target");
  }
}
