// Throws an exception eight frames down and catches it at the top, in a loop: an untimed warm-up round of
// the same length, then the timed round. Prints "ns_per_exception <ns>".
public class ExceptionLoop {
  static final class Thrown extends RuntimeException {}

  static int sink;

  static void down(int depth) {
    if (depth == 0) {
      throw new Thrown();
    }
    down(depth - 1);
  }

  static void round(int count) {
    for (int i = 0; i < count; i++) {
      try {
        down(8);
      } catch (Thrown e) {
        sink++;
      }
    }
  }

  public static void main(String[] args) {
    int count = Integer.parseInt(args[0]);
    round(count);
    long start = System.nanoTime();
    round(count);
    System.out.println("ns_per_exception " + (System.nanoTime() - start) / (double) count);
  }
}
