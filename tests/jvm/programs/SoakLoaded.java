import java.util.function.IntUnaryOperator;

// Defined anew by a loader of its own in each round of the soak workload: its static initialiser,
// switch, loop and handler pass the class-file hook every time.
public class SoakLoaded implements IntUnaryOperator {
  private static final int[] weights;

  static {
    weights = new int[7];
    for (int i = 0; i < weights.length; i++) weights[i] = i * i + 1;
  }

  @Override
  public int applyAsInt(int value) {
    int result;
    switch (value % 4) {
      case 0:
        result = value * weights[value % weights.length];
        break;
      case 1:
        result = Integer.bitCount(value) + weights[1];
        break;
      default:
        result = value;
        for (int i = 0; i < value % 5; i++) result += weights[i];
    }
    try {
      return result / (value % 9);
    } catch (ArithmeticException e) {
      return -result;
    }
  }
}
