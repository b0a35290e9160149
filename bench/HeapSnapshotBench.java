import com.sun.management.HotSpotDiagnosticMXBean;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;

// A parked heap of records in a HashMap, long[] and byte[] arrays, Strings and a long linked list, then
// the agent's memory snapshot and the JVM's own heap dump (all objects, no collection first) of it, in the
// order given. For each dump: the pause (wall time of the call), the file's size and the process's
// resident set before the call and at its peak during it (the peak reset through /proc/self/clear_refs
// just before the call, so that the heap's building does not count).
//   HeapSnapshotBench <directory> <steps, comma-separated: ours | jvm>
// Sizes from the environment: HEAP_SNAPSHOT_RECORDS (default 3*10^6 map entries, five objects each: the
// node, the key, the record, its name and the name's bytes), HEAP_SNAPSHOT_LIST (default 5*10^6 list
// nodes), HEAP_SNAPSHOT_ARRAY_MB (default 1500 MB of arrays, half long[] and half byte[], lengths drawn
// up to 128 KB each).
// Prints "heap <objects built> <bytes built>" and one line per step:
//   result <step> <pause ns> <file bytes> <RSS before KB> <peak RSS KB>
// or "failed <step> <reason>".
public class HeapSnapshotBench {
  static final class Record {
    final long id;
    final int count;
    final double score;
    final String name;

    Record(long id, int count, double score, String name) {
      this.id = id;
      this.count = count;
      this.score = score;
      this.name = name;
    }
  }

  static final class Node {
    final long value;
    Node next;

    Node(long value) {
      this.value = value;
    }
  }

  static Map<Long, Record> records;
  static Node list;
  static long[][] longArrays;
  static byte[][] byteArrays;

  static long objectsBuilt;
  static long bytesBuilt;

  static long sizeFromEnvironment(String name, long fallback) {
    String value = System.getenv(name);
    return value == null || value.isEmpty() ? fallback : Long.parseLong(value);
  }

  // Object sizes as the JVM lays them out with compressed references: a 12-byte header, 8-byte alignment.
  static long aligned(long bytes) {
    return (bytes + 7) & ~7L;
  }

  static void build() {
    int recordCount = (int) sizeFromEnvironment("HEAP_SNAPSHOT_RECORDS", 3_000_000);
    long listLength = sizeFromEnvironment("HEAP_SNAPSHOT_LIST", 5_000_000);
    long arrayBytes = sizeFromEnvironment("HEAP_SNAPSHOT_ARRAY_MB", 1500) << 20;

    records = new HashMap<>(recordCount * 4 / 3 + 1);
    for (int i = 0; i < recordCount; i++) {
      String name = "record-" + i;
      records.put((long) i, new Record(i, i % 1000, i * 0.5, name));
      bytesBuilt += 32 + 24 + 40 + 24 + aligned(16 + name.length());
    }
    objectsBuilt += 5L * recordCount;
    bytesBuilt += aligned(16 + 4L * Integer.highestOneBit(recordCount * 4 / 3 + 1) * 2);

    Node head = null;
    for (long i = 0; i < listLength; i++) {
      Node node = new Node(i);
      node.next = head;
      head = node;
    }
    list = head;
    objectsBuilt += listLength;
    bytesBuilt += 24 * listLength;

    Random random = new Random(42);
    List<long[]> longs = new java.util.ArrayList<>();
    List<byte[]> bytes = new java.util.ArrayList<>();
    for (long done = 0; done < arrayBytes / 2; ) {
      long[] array = new long[1 + random.nextInt(16384)];
      Arrays.fill(array, done);
      longs.add(array);
      done += aligned(16 + 8L * array.length);
    }
    for (long done = 0; done < arrayBytes / 2; ) {
      byte[] array = new byte[1 + random.nextInt(131072)];
      Arrays.fill(array, (byte) done);
      bytes.add(array);
      done += aligned(16 + array.length);
    }
    longArrays = longs.toArray(new long[0][]);
    byteArrays = bytes.toArray(new byte[0][]);
    objectsBuilt += longArrays.length + byteArrays.length + 2;
    for (long[] array : longArrays) bytesBuilt += aligned(16 + 8L * array.length);
    for (byte[] array : byteArrays) bytesBuilt += aligned(16 + array.length);
  }

  static long statusKb(String key) throws IOException {
    for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
      if (line.startsWith(key + ":")) return Long.parseLong(line.substring(key.length() + 1).trim().split("\\s+")[0]);
    }
    throw new IOException(key + " missing from /proc/self/status");
  }

  interface Dump {
    String run(String path) throws Exception;
  }

  static void measure(String step, Path file, Dump dump) throws Exception {
    Files.deleteIfExists(file);
    Files.write(Paths.get("/proc/self/clear_refs"), "5".getBytes());
    long before = statusKb("VmRSS");
    long start = System.nanoTime();
    String failure = dump.run(file.toString());
    long pause = System.nanoTime() - start;
    long peak = statusKb("VmHWM");
    long size = Files.exists(file) ? Files.size(file) : -1;
    Files.deleteIfExists(file);
    if (failure != null) {
      System.out.println("failed " + step + " " + failure.replace('\n', ' '));
    } else if (size <= 0) {
      System.out.println("failed " + step + " no file written");
    } else {
      System.out.println("result " + step + " " + pause + " " + size + " " + before + " " + peak);
    }
  }

  public static void main(String[] args) throws Exception {
    Path directory = Paths.get(args[0]);
    build();
    System.gc();
    System.gc();
    System.out.println("heap " + objectsBuilt + " " + bytesBuilt);

    Method capture = Class.forName("com.brantel.runtime.Callback")
        .getMethod("captureSnapshot", String.class, int.class, long.class);
    HotSpotDiagnosticMXBean diagnostic = ManagementFactory.getPlatformMXBean(HotSpotDiagnosticMXBean.class);
    for (String step : args[1].split(",")) {
      switch (step) {
        case "ours":
          measure(step, directory.resolve("ours.snapshot"), path -> (String) capture.invoke(null, path, 0, 1L));
          break;
        case "jvm":
          measure(step, directory.resolve("jvm.hprof"), path -> {
            diagnostic.dumpHeap(path, false);
            return null;
          });
          break;
        default:
          throw new IllegalArgumentException(step);
      }
    }
    // The heap stays reachable until every step has run.
    if (records.size() < 0 || list == null || longArrays.length + byteArrays.length < 0) System.out.println("gone");
  }
}
