// The methods that the probes of tests/jvm/probes/dynamic observe once registered.
public class ProbeTarget {
  static void work(String text) {
    System.out.println("work " + text);
  }

  static void other() {
    System.out.println("other");
  }

  static void byBytecode() {
    System.out.println("byBytecode");
  }
}

// Classes a probe reaches through a pattern with "*", but only those that extend ShapeBase are
// retransformed for it.
class ShapeBase {
  void describe() {
    System.out.println("base");
  }
}

class ShapeSquare extends ShapeBase {
  @Override
  void describe() {
    System.out.println("square");
  }
}

class ShapeLoose {
  void describe() {
    System.out.println("loose");
  }
}
