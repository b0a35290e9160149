import com.brantel.Natives;

// The object-storage natives driven as the host's heap analysis drives them, in a JVM that loads the
// library with System.load and starts no agent. Usage: ObjectStorageCalls LIBRARY SCENARIO. A scenario
// prints one line per observation: "<call>=<result>", or "<call> threw <class>: <message>".
public final class ObjectStorageCalls {
  interface Call {
    Object run();
  }

  interface Action {
    void run();
  }

  public static void main(String[] args) {
    System.load(args[0]);
    switch (args[1]) {
      case "columns": columns(); break;
      case "wide": wide(); break;
      case "refs": refs(); break;
      case "lifecycle": lifecycle(); break;
      case "refused": refused(); break;
      case "oome": oome(); break;
      default: throw new IllegalArgumentException("no scenario " + args[1]);
    }
  }

  static void show(String name, Call call) {
    try {
      System.out.println(name + "=" + call.run());
    } catch (RuntimeException | Error e) {
      System.out.println(name + " threw " + e.getClass().getName() + ": " + e.getMessage());
    }
  }

  static void act(String name, Action action) {
    show(name, () -> {
      action.run();
      return "done";
    });
  }

  // Every column of one object in one line.
  static void showObject(long s, int i) {
    System.out.println("object " + i + ": gen=" + Natives.getGenerationImpl(s, i)
        + " refs=" + Natives.getRefCountImpl(s, i) + " pdp=" + Natives.getPrimitiveDataPositionImpl(s, i)
        + " oid=" + Natives.getOIDImpl(s, i) + " crc=" + Natives.getCrc32(s, i)
        + " frame=" + Natives.getAllocatorFrameImpl(s, i) + " trn=" + Natives.getAllocatorTrnImpl(s, i)
        + " ts=" + Natives.getAllocatorTimestampMs(s, i) + " len=" + Natives.getArrayLengthImpl(s, i)
        + " dom=" + Natives.getDominatorImpl(s, i));
  }

  static void showRefs(long s, int i) {
    StringBuilder line = new StringBuilder("refs of " + i + ":");
    for (int j = 0; j < Natives.getRefCountImpl(s, i); j++) line.append(' ').append(Natives.getRefImpl(s, i, j));
    System.out.println(line);
  }

  static void showStatistics(long s) {
    System.out.println("stats=" + Natives.getStorageStatisticsImpl(s).replace("\n", "\\n"));
  }

  // Every setter once over a storage of 10 objects, with the values at the edges of the small columns.
  static void columns() {
    long s = Natives.createStorage(10);
    showObject(s, 0);
    showObject(s, 1);
    showObject(s, 10);
    showStatistics(s);
    // Generation 0 on a storage without generations makes none.
    Natives.setGenerations(s, new int[] {1}, new int[] {0}, 1);
    showStatistics(s);

    // A count below the arrays' length leaves the last entries out.
    Natives.setGenerations(s, new int[] {1, 2, 3, 4, 5, 6}, new int[] {7, 65534, 65535, -1, 0, 99}, 5);
    Natives.setArrayLengths(s, new int[] {1, 2, 3, 4, 5, 6, 7}, new int[] {0, 253, 254, -1, -2, 100000, 5}, 6);
    Natives.setArrayLengths(s, new int[] {1}, new int[] {50}, 0);
    Natives.setCrc32(s, new int[] {1, 2}, new int[] {0x12345678, -1}, 2);
    Natives.setPrimitiveDataPositions(s, new int[] {1, 2, 3}, new long[] {5, (1L << 32) + 5, -1}, 3);
    Natives.setPrimitiveDataPositions(s, new int[] {2}, new long[] {5}, 1);
    Natives.setOIDs(s, new int[] {1, 2, 3}, new long[] {(1L << 32) + 5, -2, Long.MIN_VALUE}, 3);
    Natives.setOIDs(s, new int[] {1}, new long[] {5}, 1);
    Natives.setAllocatorImpl(s, 3, 11, 4, (1L << 40) + 7);
    Natives.setAllocatorImpl(s, 10, -5, 0, -1);
    Natives.setNewRefCount(s, 4, 2);
    Natives.setRefImpl(s, 4, 9, 1);
    for (int i = 0; i <= 10; i++) showObject(s, i);
    showRefs(s, 4);
    showStatistics(s);
    Natives.deleteStorage(s);
  }

  // Objects on both sides of a chunk boundary of the paged columns and at the end of a large storage.
  static void wide() {
    int count = 3_000_000;
    long s = Natives.createStorage(count);
    int[] objects = {1_048_575, 1_048_576, count};
    Natives.setGenerations(s, objects, new int[] {1, 70000, 3}, 3);
    Natives.setArrayLengths(s, objects, new int[] {4, 5, 1 << 30}, 3);
    Natives.setCrc32(s, objects, new int[] {7, 8, 9}, 3);
    Natives.setPrimitiveDataPositions(s, objects, new long[] {10, 1L << 33, Long.MAX_VALUE}, 3);
    Natives.setOIDs(s, objects, new long[] {13, 1L << 34, Long.MIN_VALUE + 1}, 3);
    Natives.setAllocatorImpl(s, count, 16, 17, 18);
    Natives.setRefs(s, new int[] {0, count, count}, new int[] {count, 1, count}, new int[] {2, 0, 1}, 3);
    for (int i : new int[] {1_048_574, 1_048_575, 1_048_576, count - 1, count}) showObject(s, i);
    showRefs(s, count);
    Natives.deleteStorage(s);
  }

  // The command stream of setRefs: reservations, stores, stores that only warn; then a list remade.
  static void refs() {
    long s = Natives.createStorage(50);
    Natives.setRefs(s, new int[] {0, 17, 17, 0, 18, 17, 19, 17, 0},
        new int[] {17, 42, 41, 18, 5, 42, 1, 1, 20},
        new int[] {3, 2, 0, 1, 0, 3, 0, -1, 0}, 9);
    for (int i : new int[] {17, 18, 19, 20, 21}) showRefs(s, i);
    Natives.setNewRefCount(s, 17, 2);
    showRefs(s, 17);
    Natives.setRefImpl(s, 17, 7, 1);
    Natives.setRefs(s, new int[] {17}, new int[] {8}, new int[] {0}, 1);
    showRefs(s, 17);
    // Remade twice: the first private list is dropped.
    Natives.setNewRefCount(s, 17, 1);
    Natives.setRefImpl(s, 17, 50, 0);
    showRefs(s, 17);
    Natives.deleteStorage(s);
  }

  static void lifecycle() {
    long s = Natives.createStorage(5);
    System.out.println("handle=" + s);
    Natives.deleteStorage(s);
    Natives.deleteStorage(0);
    // The smallest storage has entries 0 and 1.
    long one = Natives.createStorage(1);
    showObject(one, 1);
    showStatistics(one);
    show("getGenerationImpl(2)", () -> Natives.getGenerationImpl(one, 2));
    Natives.deleteStorage(one);
    for (int count : new int[] {0, -1, 0x7ffffff0, Integer.MAX_VALUE}) {
      show("createStorage(" + count + ")", () -> Natives.createStorage(count));
    }
  }

  // Every argument the natives refuse, each followed by a check that nothing was written.
  static void refused() {
    final int n = 10;
    long s = Natives.createStorage(n);
    Natives.setNewRefCount(s, 5, 2);
    Natives.setRefImpl(s, 5, 3, 0);
    int[] bad = {-1, n + 1, Integer.MIN_VALUE};
    for (int i : bad) {
      String at = "(" + i + ")";
      show("getGenerationImpl" + at, () -> Natives.getGenerationImpl(s, i));
      show("getRefCountImpl" + at, () -> Natives.getRefCountImpl(s, i));
      show("getRefImpl" + at, () -> Natives.getRefImpl(s, i, 0));
      show("getPrimitiveDataPositionImpl" + at, () -> Natives.getPrimitiveDataPositionImpl(s, i));
      show("getOIDImpl" + at, () -> Natives.getOIDImpl(s, i));
      show("getCrc32" + at, () -> Natives.getCrc32(s, i));
      show("getAllocatorFrameImpl" + at, () -> Natives.getAllocatorFrameImpl(s, i));
      show("getAllocatorTrnImpl" + at, () -> Natives.getAllocatorTrnImpl(s, i));
      show("getAllocatorTimestampMs" + at, () -> Natives.getAllocatorTimestampMs(s, i));
      show("getArrayLengthImpl" + at, () -> Natives.getArrayLengthImpl(s, i));
      show("getDominatorImpl" + at, () -> Natives.getDominatorImpl(s, i));
      act("setNewRefCount" + at, () -> Natives.setNewRefCount(s, i, 1));
      act("setRefImpl" + at, () -> Natives.setRefImpl(s, i, 1, 0));
      act("setRefImpl target" + at, () -> Natives.setRefImpl(s, 5, i, 1));
      act("setAllocatorImpl" + at, () -> Natives.setAllocatorImpl(s, i, 1, 2, 3));
      // The refused index comes second: a refused call writes nothing, not even the entry before it.
      int[] objects = {1, i};
      act("setGenerations" + at, () -> Natives.setGenerations(s, objects, new int[] {70000, 70000}, 2));
      act("setArrayLengths" + at, () -> Natives.setArrayLengths(s, objects, new int[] {300, 300}, 2));
      act("setCrc32" + at, () -> Natives.setCrc32(s, objects, new int[] {4, 4}, 2));
      act("setPrimitiveDataPositions" + at,
          () -> Natives.setPrimitiveDataPositions(s, objects, new long[] {6, 6}, 2));
      act("setOIDs" + at, () -> Natives.setOIDs(s, objects, new long[] {8, 8}, 2));
      act("setRefs reserve" + at, () -> Natives.setRefs(s, new int[] {0}, new int[] {i}, new int[] {1}, 1));
      act("setRefs source" + at, () -> Natives.setRefs(s, new int[] {i}, new int[] {1}, new int[] {0}, 1));
      act("setRefs target" + at, () -> Natives.setRefs(s, new int[] {5}, new int[] {i}, new int[] {1}, 1));
    }
    // Reference indices and counts.
    for (int j : new int[] {-1, 2}) {
      show("getRefImpl(5, " + j + ")", () -> Natives.getRefImpl(s, 5, j));
      act("setRefImpl(5, " + j + ")", () -> Natives.setRefImpl(s, 5, 9, j));
    }
    show("getRefImpl(6, 0)", () -> Natives.getRefImpl(s, 6, 0));
    act("setRefImpl(6, 0)", () -> Natives.setRefImpl(s, 6, 9, 0));
    act("setNewRefCount(5, -1)", () -> Natives.setNewRefCount(s, 5, -1));
    act("setRefs reserve -1", () -> Natives.setRefs(s, new int[] {0}, new int[] {6}, new int[] {-1}, 1));
    // Arrays: each one null, each one too short for the count, and a negative count.
    int[] two = {1, 2};
    act("setGenerations null objects", () -> Natives.setGenerations(s, null, two, 1));
    act("setGenerations null values", () -> Natives.setGenerations(s, two, null, 1));
    act("setArrayLengths null objects", () -> Natives.setArrayLengths(s, null, two, 1));
    act("setArrayLengths null values", () -> Natives.setArrayLengths(s, two, null, 1));
    act("setCrc32 null objects", () -> Natives.setCrc32(s, null, two, 1));
    act("setCrc32 null values", () -> Natives.setCrc32(s, two, null, 1));
    act("setPrimitiveDataPositions null objects",
        () -> Natives.setPrimitiveDataPositions(s, null, new long[] {6}, 1));
    act("setPrimitiveDataPositions null values", () -> Natives.setPrimitiveDataPositions(s, two, null, 1));
    act("setOIDs null objects", () -> Natives.setOIDs(s, null, new long[] {8}, 1));
    act("setOIDs null values", () -> Natives.setOIDs(s, two, null, 1));
    act("setRefs null sources", () -> Natives.setRefs(s, null, two, two, 1));
    act("setRefs null targets", () -> Natives.setRefs(s, two, null, two, 1));
    act("setRefs null refIndexes", () -> Natives.setRefs(s, two, two, null, 1));
    int[] one = {2};
    act("setGenerations short objects", () -> Natives.setGenerations(s, one, two, 2));
    act("setGenerations short values", () -> Natives.setGenerations(s, two, one, 2));
    act("setArrayLengths short values", () -> Natives.setArrayLengths(s, two, one, 2));
    act("setCrc32 short values", () -> Natives.setCrc32(s, two, one, 2));
    act("setPrimitiveDataPositions short values",
        () -> Natives.setPrimitiveDataPositions(s, two, new long[] {6}, 2));
    act("setOIDs short values", () -> Natives.setOIDs(s, two, new long[] {8}, 2));
    act("setRefs short sources", () -> Natives.setRefs(s, one, two, two, 2));
    act("setRefs short targets", () -> Natives.setRefs(s, two, one, two, 2));
    act("setRefs short refIndexes", () -> Natives.setRefs(s, two, two, one, 2));
    act("setGenerations count -1", () -> Natives.setGenerations(s, two, two, -1));
    act("setRefs count -1", () -> Natives.setRefs(s, two, two, two, -1));
    // The null handle.
    show("getGenerationImpl(null handle)", () -> Natives.getGenerationImpl(0, 1));
    act("setGenerations(null handle)", () -> Natives.setGenerations(0, two, two, 1));
    show("getStorageStatisticsImpl(null handle)", () -> Natives.getStorageStatisticsImpl(0));
    // Nothing of the refused calls was written.
    for (int i = 0; i <= n; i++) showObject(s, i);
    showRefs(s, 5);
    showRefs(s, 6);
    showStatistics(s);
    Natives.deleteStorage(s);
  }

  // Run with too little address space for the storage's arrays.
  static void oome() {
    show("createStorage(2147483631)", () -> Natives.createStorage(2147483631));
    long s = Natives.createStorage(3);
    show("getArrayLengthImpl(3)", () -> Natives.getArrayLengthImpl(s, 3));
    Natives.deleteStorage(s);
  }
}
