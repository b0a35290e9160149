// Compiled with -g:none: no line table, no local variables, no source file attribute.
public final class NoDebugInfo {
  private NoDebugInfo() {}

  static int twice(int n) {
    return n + n;
  }
}
