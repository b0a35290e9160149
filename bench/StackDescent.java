// The Java side of bench/StackCaptureBench.cpp: five methods that call each other in turn, so that a
// stack of any depth has several methods and call lines, and at the bottom a native of the benchmark,
// from which it runs its loop on this thread. step0(n) leaves n + 2 frames on the stack, the native's
// among them.
public final class StackDescent {
  private StackDescent() {}

  static native void measure();

  static void step0(int remaining) {
    if (remaining == 0) measure();
    else step1(remaining - 1);
  }

  static void step1(int remaining) {
    if (remaining == 0) measure();
    else step2(remaining - 1);
  }

  static void step2(int remaining) {
    if (remaining == 0) measure();
    else step3(remaining - 1);
  }

  static void step3(int remaining) {
    if (remaining == 0) measure();
    else step4(remaining - 1);
  }

  static void step4(int remaining) {
    if (remaining == 0) measure();
    else step0(remaining - 1);
  }
}
