// Prints one line and ends: the smallest program to run under the agent.
public class Hello {
  public static void main(String[] args) {
    System.out.println("Hello from the profiled program");
  }
}
