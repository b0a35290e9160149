import com.brantel.Natives;
import java.util.Arrays;

// How fast the host fills an object storage of 10^7 objects from Java: setGenerations (one entry per
// object) and setRefs (per object one reservation of two references and two stores), each beside the
// same loop writing plain Java int[] columns, its reference. Every pass fills a fresh storage, and a
// fresh set of arrays for the reference, so both pay for first touching their memory. Prints the median
// of the passes in entries per second and the ratio. Usage: ObjectStorageBench LIBRARY [PASSES]
public final class ObjectStorageBench {
  static final int OBJECTS = 10_000_000;

  interface Pass {
    long run();  // nanoseconds taken
  }

  public static void main(String[] args) {
    System.load(args[0]);
    int passes = args.length > 1 ? Integer.parseInt(args[1]) : 5;

    int[] objects = new int[OBJECTS];
    int[] generations = new int[OBJECTS];
    for (int k = 0; k < OBJECTS; k++) {
      objects[k] = k + 1;
      generations[k] = 1 + k % 1000;
    }
    int entries = 3 * OBJECTS;
    int[] sources = new int[entries];
    int[] targets = new int[entries];
    int[] refIndexes = new int[entries];
    for (int i = 1, k = 0; i <= OBJECTS; i++) {
      sources[k] = 0;
      targets[k] = i;
      refIndexes[k++] = 2;
      for (int j = 0; j < 2; j++, k++) {
        sources[k] = i;
        targets[k] = (int) ((i * 7919L + j) % OBJECTS) + 1;
        refIndexes[k] = j;
      }
    }

    double generationsRate = rate(OBJECTS, passes, () -> {
      long storage = Natives.createStorage(OBJECTS);
      long start = System.nanoTime();
      Natives.setGenerations(storage, objects, generations, OBJECTS);
      long taken = System.nanoTime() - start;
      Natives.deleteStorage(storage);
      return taken;
    });
    double generationsReference = rate(OBJECTS, passes, () -> {
      long start = System.nanoTime();
      int[] column = new int[OBJECTS + 1];
      for (int k = 0; k < OBJECTS; k++) column[objects[k]] = generations[k];
      long taken = System.nanoTime() - start;
      sink += column[OBJECTS];
      return taken;
    });
    double refsRate = rate(entries, passes, () -> {
      long storage = Natives.createStorage(OBJECTS);
      long start = System.nanoTime();
      Natives.setRefs(storage, sources, targets, refIndexes, entries);
      long taken = System.nanoTime() - start;
      Natives.deleteStorage(storage);
      return taken;
    });
    double refsReference = rate(entries, passes, () -> {
      long start = System.nanoTime();
      int[] starts = new int[OBJECTS + 1];
      int[] counts = new int[OBJECTS + 1];
      int[] packed = new int[2 * OBJECTS];
      int next = 0;
      for (int k = 0; k < entries; k++) {
        int source = sources[k];
        if (source == 0) {
          starts[targets[k]] = next;
          counts[targets[k]] = refIndexes[k];
          next += refIndexes[k];
        } else if (refIndexes[k] >= 0 && refIndexes[k] < counts[source]) {
          packed[starts[source] + refIndexes[k]] = targets[k];
        } else {
          throw new IllegalStateException("bad ref index at " + k);
        }
      }
      long taken = System.nanoTime() - start;
      sink += packed[next - 1];
      return taken;
    });

    System.out.printf("object storage natives from Java: 10^7 objects, median of %d passes (entries per second)%n",
        passes);
    System.out.printf("  setGenerations, 1 entry per object            %12.0f   ours/int[] %.2f%n", generationsRate,
        generationsRate / generationsReference);
    System.out.printf("  the same loop into a Java int[]               %12.0f%n", generationsReference);
    System.out.printf("  setRefs, 1 reservation + 2 stores per object  %12.0f   ours/int[] %.2f%n", refsRate,
        refsRate / refsReference);
    System.out.printf("  the same stream into Java int[] columns       %12.0f%n", refsReference);
  }

  static long sink;  // keeps the reference loops' results alive

  static double rate(int entries, int passes, Pass pass) {
    long[] times = new long[passes];
    for (int p = 0; p < passes; p++) times[p] = pass.run();
    Arrays.sort(times);
    return entries * 1e9 / times[passes / 2];
  }
}
