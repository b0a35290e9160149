import com.brantel.Natives;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

// The host's dominator requests over an object storage filled from Java, in a JVM that loads the
// library with System.load and starts no agent (scripts/demo.sh runs the scenario "once" over the heap
// of a memory snapshot). Usage: DominatorRequests LIBRARY DIRECTORY SCENARIO [GRAPH]. A graph file is
// little-endian int32: the object count, per object 1 to count its number of slots and the slots (0 for
// an empty one), the root count and the roots. Scenarios print one line per
// observation and write the dominators they read as <name>.idom: every object's getDominatorImpl, 0 to
// count, little-endian int32; the marks of f as <name>.reached.
public final class DominatorRequests {
  // Runs Natives.dc as the host's computation does, counting its runs.
  static final class Computation implements Runnable {
    final String input;
    final String output;
    final String tempDir;
    int runs;

    Computation(String input, String output, String tempDir) {
      this.input = input;
      this.output = output;
      this.tempDir = tempDir;
    }

    @Override
    public void run() {
      runs++;
      int code = Natives.dc(input, output, "snca", tempDir);
      if (code != 0) throw new IllegalStateException("dc returned " + code);
    }
  }

  static final class Graph {
    int objects;
    int[][] lists;
    int[] roots;
  }

  interface Action {
    void run() throws Exception;
  }

  public static void main(String[] args) throws Exception {
    System.load(args[0]);
    Path directory = Paths.get(args[1]);
    switch (args[2]) {
      case "compute": compute(directory, readGraph(Paths.get(args[3]))); break;
      case "once": once(directory, readGraph(Paths.get(args[3]))); break;
      case "errors": errors(directory); break;
      default: throw new IllegalArgumentException("no scenario " + args[2]);
    }
  }

  static Graph readGraph(Path path) throws IOException {
    ByteBuffer in = ByteBuffer.wrap(Files.readAllBytes(path)).order(ByteOrder.LITTLE_ENDIAN);
    Graph graph = new Graph();
    graph.objects = in.getInt();
    graph.lists = new int[graph.objects + 1][];
    graph.lists[0] = new int[0];
    for (int i = 1; i <= graph.objects; i++) {
      graph.lists[i] = new int[in.getInt()];
      for (int j = 0; j < graph.lists[i].length; j++) graph.lists[i][j] = in.getInt();
    }
    graph.roots = new int[in.getInt()];
    for (int k = 0; k < graph.roots.length; k++) graph.roots[k] = in.getInt();
    return graph;
  }

  // Every list through one setRefs call: each reservation comes before the stores into its list.
  static long storageOf(Graph graph) {
    long storage = Natives.createStorage(graph.objects);
    int entries = 0;
    for (int[] list : graph.lists) entries += 1 + list.length;
    int[] sources = new int[entries];
    int[] targets = new int[entries];
    int[] refIndexes = new int[entries];
    int k = 0;
    for (int i = 1; i <= graph.objects; i++) {
      targets[k] = i;
      refIndexes[k++] = graph.lists[i].length;
      for (int j = 0; j < graph.lists[i].length; j++) {
        sources[k] = i;
        targets[k] = graph.lists[i][j];
        refIndexes[k++] = j;
      }
    }
    Natives.setRefs(storage, sources, targets, refIndexes, k);
    return storage;
  }

  static int[] bitset(int objects) {
    return new int[objects / 32 + 1];
  }

  static int count(int[] bits) {
    int count = 0;
    for (int word : bits) count += Integer.bitCount(word);
    return count;
  }

  static void writeInts(Path path, int[] values) throws IOException {
    ByteBuffer out = ByteBuffer.allocate(4 * values.length).order(ByteOrder.LITTLE_ENDIAN);
    for (int value : values) out.putInt(value);
    Files.write(path, out.array());
  }

  static void writeDominators(Path directory, String name, long storage, int objects) throws IOException {
    int[] dominators = new int[objects + 1];
    for (int i = 0; i <= objects; i++) dominators[i] = Natives.getDominatorImpl(storage, i);
    writeInts(directory.resolve(name + ".idom"), dominators);
  }

  // One request as the host makes it: the reached objects of the roots are the selection, and the result
  // file is kept under the same name for the next request.
  static Computation request(Path directory, String name, long storage, Graph graph, int[] roots) throws IOException {
    int[] reached = bitset(graph.objects);
    Natives.f(storage, roots, reached);
    writeInts(directory.resolve(name + ".reached"), reached);
    Path input = directory.resolve("snapshot.dgi");
    Path result = directory.resolve("snapshot.idom");
    Files.deleteIfExists(input);
    Computation computation = new Computation(input.toString(), result.toString(), directory.toString());
    Natives.computeDominatorsImpl(input.toString(), result.toString(), result.toString(), computation, storage, roots,
        reached);
    System.out.println(name + ": reached=" + count(reached) + " runs=" + computation.runs + " input="
        + Files.exists(input));
    writeDominators(directory, name, storage, graph.objects);
    return computation;
  }

  // One request, as the host makes it for a snapshot it opens: writes heap.reached and heap.idom.
  static void once(Path directory, Graph graph) throws IOException {
    long storage = storageOf(graph);
    request(directory, "heap", storage, graph, graph.roots);
    Natives.deleteStorage(storage);
  }

  static void compute(Path directory, Graph graph) throws IOException {
    long storage = storageOf(graph);
    request(directory, "first", storage, graph, graph.roots);
    // The same request again reads the kept file: no input is written and nothing runs.
    request(directory, "again", storage, graph, graph.roots);
    Natives.deleteStorage(storage);

    // The snapshot opened anew: the kept file still fits.
    storage = storageOf(graph);
    request(directory, "reopened", storage, graph, graph.roots);
    Natives.deleteStorage(storage);

    // A kept file of the right size that was overwritten is computed again.
    Path result = directory.resolve("snapshot.idom");
    Files.write(result, new byte[(int) Files.size(result)]);
    storage = storageOf(graph);
    request(directory, "overwritten", storage, graph, graph.roots);
    Natives.deleteStorage(storage);

    // Fewer roots: the kept file belongs to another computation.
    storage = storageOf(graph);
    request(directory, "fewer", storage, graph, new int[] {graph.roots[0]});
    Natives.deleteStorage(storage);
  }

  static void show(String name, Action action) {
    try {
      action.run();
      System.out.println(name + ": done");
    } catch (Exception | Error e) {
      System.out.println(name + " threw " + e.getClass().getName() + ": " + e.getMessage());
    }
  }

  static void showDominators(long storage) {
    int second = Natives.getDominatorImpl(storage, 2);
    System.out.println("dominators: " + second + " " + Natives.getDominatorImpl(storage, 3));
  }

  // The failures a request and a search can meet, on the graph 1 -> 2 -> 3 with root 1.
  static void errors(Path directory) throws IOException {
    Graph graph = new Graph();
    graph.objects = 3;
    graph.lists = new int[][] {{}, {2}, {3}, {}};
    graph.roots = new int[] {1};
    long storage = storageOf(graph);
    int[] roots = {1};
    int[] selected = {0b1110};
    String input = directory.resolve("errors.dgi").toString();
    String output = directory.resolve("errors.idom").toString();
    String none = directory.resolve("none.idom").toString();
    Computation computation = new Computation(input, output, null);

    show("failing run", () -> Natives.computeDominatorsImpl(input, output, none, new Runnable() {
      @Override
      public void run() {
        throw new IllegalStateException("no computation here");
      }
    }, storage, roots, selected));
    show("no run method", () -> Natives.computeDominatorsImpl(input, output, none, "text", storage, roots, selected));
    show("null runnable", () -> Natives.computeDominatorsImpl(input, output, none, null, storage, roots, selected));
    show("null roots", () -> Natives.computeDominatorsImpl(input, output, none, computation, storage, null, selected));
    show("null selection", () -> Natives.computeDominatorsImpl(input, output, none, computation, storage, roots, null));
    show("uncreatable input", () -> Natives.computeDominatorsImpl(directory.resolve("missing/in.dgi").toString(),
        output, none, computation, storage, roots, selected));
    show("short result", () -> Natives.computeDominatorsImpl(input, output, none, new Runnable() {
      @Override
      public void run() {
        try {
          Files.write(Paths.get(output), new byte[8]);
        } catch (IOException e) {
          throw new RuntimeException(e);
        }
      }
    }, storage, roots, selected));
    show("root outside the storage",
        () -> Natives.computeDominatorsImpl(input, output, none, computation, storage, new int[] {4}, selected));
    showDominators(storage);
    show("computed", () -> Natives.computeDominatorsImpl(input, output, none, computation, storage, roots, selected));
    showDominators(storage);

    int[] marks = new int[1];
    show("f null marks", () -> Natives.f(storage, roots, null));
    show("f root 0", () -> Natives.f(storage, new int[] {0}, marks));
    show("f root past the storage", () -> Natives.f(storage, new int[] {4}, marks));
    show("f0o slice past the objects", () -> Natives.f0o(storage, new int[] {2}, 0, 2, roots, marks));
    show("fStrong odd exclusions", () -> Natives.fStrong(storage, new int[] {2}, marks, new int[] {1}, 0, 0));
    System.out.println("marks after refusals: " + marks[0]);
    show("f", () -> Natives.f(storage, roots, marks));
    System.out.println("marks: " + Integer.toBinaryString(marks[0]));
    int[] strong = new int[1];
    show("fStrong", () -> Natives.fStrong(storage, new int[] {0b100}, strong, new int[0], 2, 0));
    System.out.println("strong: " + Integer.toBinaryString(strong[0]));
    int[] retained = new int[1];
    show("f0m", () -> Natives.f0m(storage, new int[] {0b100}, roots, retained));
    System.out.println("retained: " + Integer.toBinaryString(retained[0]));
    int[] retainedByObjects = new int[1];
    show("f0o", () -> Natives.f0o(storage, new int[] {3, 2}, 1, 2, roots, retainedByObjects));
    System.out.println("retained by objects: " + Integer.toBinaryString(retainedByObjects[0]));
    Natives.deleteStorage(storage);
  }
}
