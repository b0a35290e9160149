// The program whose start bench/class_road.sh times: it prints the wall-clock time at which its main
// began, then greets and ends.
public final class HelloStamp {
  private HelloStamp() {}

  public static void main(String[] args) {
    long mainMs = System.currentTimeMillis();
    System.out.println("main_ms " + mainMs);
    System.out.println("Hello, world");
  }
}
