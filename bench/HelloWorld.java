// The program whose start and exit bench/sampling_overhead.sh times with and without the agent.
public final class HelloWorld {
  private HelloWorld() {}

  public static void main(String[] args) {
    System.out.println("Hello, world");
  }
}
