// A Java stack that ends in a native method, which the test registers before it calls main.
public final class NativeCaller {
  private NativeCaller() {}

  static native void inNative(String tag, int depth);

  public static void main(String[] args) {
    relay();  // line: main-calls-relay
  }

  static void relay() {
    inNative("relay", 2);  // line: relay-calls-native
  }
}
