// Throws an exception eight frames down and catches it at the top, in a loop: an untimed warm-up, then the
// timed round of the given count. The warm-up runs rounds of 10000 for at least three seconds: the JIT
// reaches the bare loop's steady state only after some 500000 exceptions, while under the exception
// events three seconds make some 100000. Prints "warmup_exceptions <n>" and "ns_per_exception <ns>".
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
    long warmup = 0;
    for (long begin = System.nanoTime(); System.nanoTime() - begin < 3_000_000_000L; warmup += 10000) {
      round(10000);
    }
    long start = System.nanoTime();
    round(count);
    System.out.println("ns_per_exception " + (System.nanoTime() - start) / (double) count);
    System.out.println("warmup_exceptions " + warmup);
  }
}
