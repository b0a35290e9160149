import java.util.List;

// Methods whose descriptors, flags and classes give each text of a method record another form.
public final class MethodShapes {
  // Declared only: the method record is made from the declaration, nothing calls it.
  static native long nativeSum(int[] values, double scale);

  static String[][] grid(List<String> names, char separator, boolean sorted) {
    return new String[0][];
  }

  // Its source file is that of the enclosing class.
  final class Inner {
    Inner() {}
  }
}
