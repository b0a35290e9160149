/**
 * A class whose compiled methods the frame tests edit in place (a local and code inserted at the start, a
 * catch-all handler added) and then run under -Xverify:all. Its methods hold frames of every kind:
 * loops, long and double locals, a handler, an object created across a branch, and a constructor that
 * branches before it calls another.
 */
public class Main {
  private final long total;

  Main(int count) {
    this(count > 0 ? (long) count : -1L, count > 10 ? "many" : "few");
  }

  private Main(long total, String label) {
    this.total = total + label.length();
  }

  static int work(int n, String text) {
    long sum = 0;
    double scale = 1.5;
    for (int i = 0; i < n; i++) {
      if ((i & 1) == 0) {
        sum += i;
      } else {
        scale *= 2;
      }
    }
    StringBuilder builder = new StringBuilder(n > 3 ? text : "short");
    try {
      sum += Integer.parseInt(text);
    } catch (NumberFormatException e) {
      sum -= 1;
    }
    if (n < 0) {
      throw new IllegalArgumentException(builder.toString());
    }
    return (int) (sum + (long) scale) + builder.length();
  }

  public static void main(String[] args) {
    System.out.println(work(5, "12"));
    System.out.println(work(2, "x"));
    try {
      System.out.println(work(-1, "boom"));
    } catch (IllegalArgumentException e) {
      System.out.println("thrown");
    }
    System.out.println(new Main(3).total + " " + new Main(20).total);
  }
}
