// Instances for the live-instance counts: a class of its own, loaded afresh by each test through
// SecondLoader, so that no other test's objects share its count.
public final class CountedInstance {
  private long first;
  private long second;
  private int third;

  public static Object[] make(int count) {
    Object[] made = new Object[count];
    for (int i = 0; i < count; i++) made[i] = new CountedInstance();
    return made;
  }
}
