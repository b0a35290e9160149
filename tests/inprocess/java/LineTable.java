// A method whose statements sit on the marked lines, for the line lookup of its locations.
public final class LineTable {
  private LineTable() {}

  static int steps(int n) {
    int total = 0;  // line: steps-first
    for (int i = 0; i < n; i++) {  // line: steps-loop
      total += i;  // line: steps-body
    }
    return total;  // line: steps-return
  }
}
