// Calls whose results and exceptions a probe would change (greet, compute, divide by zero); under an
// inactive probe the program must print what it prints without the agent.
public class StubbedWorkload {
  static String greet(String name) {
    return "hello " + name;
  }

  static int compute(int value) {
    return value * 2;
  }

  static int divide(int dividend, int divisor) {
    return dividend / divisor;
  }

  public static void main(String[] args) {
    System.out.println(greet("ada"));
    System.out.println(compute(21));
    try {
      System.out.println(divide(1, 0));
    } catch (ArithmeticException e) {
      System.out.println("caught " + e.getMessage());
    }
  }
}
