import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

// Writes a deterministic tree of Java sources for javac to compile: `count` classes in ten packages
// (generics, lambdas, streams, inner, nested, local and anonymous classes, enums, records, switch
// expressions, each class calling the one before it, some with native methods that nothing calls and a few
// with code that -Xlint warns about), a class road.Main that runs them all and prints checksums, and
// "sources.txt", the absolute paths of all files, for javac's @file.
// Arguments: the directory (made when missing) and the number of classes.
public final class SourceTree {
  private SourceTree() {}

  public static void main(String[] args) throws IOException {
    Path root = Paths.get(args[0]).toAbsolutePath();
    int count = Integer.parseInt(args[1]);
    List<String> sources = new ArrayList<>();
    for (int i = 0; i < count; i++) {
      sources.add(write(root, packageOf(i), className(i), classSource(i)).toString());
    }
    sources.add(write(root, "road", "Main", mainSource(count)).toString());
    Files.write(root.resolve("sources.txt"), sources, StandardCharsets.UTF_8);
  }

  static String packageOf(int i) {
    return "road.p" + (i % 10);
  }

  static String className(int i) {
    return String.format("C%03d", i);
  }

  static String qualified(int i) {
    return packageOf(i) + "." + className(i);
  }

  static Path write(Path root, String packageName, String name, String text) throws IOException {
    Path directory = root.resolve(packageName.replace('.', '/'));
    Files.createDirectories(directory);
    Path file = directory.resolve(name + ".java");
    Files.write(file, text.getBytes(StandardCharsets.UTF_8));
    return file;
  }

  static String classSource(int i) {
    String name = className(i);
    StringBuilder s = new StringBuilder();
    s.append("package ").append(packageOf(i)).append(";\n\n");
    s.append("import java.util.*;\n");
    s.append("import java.util.function.*;\n");
    s.append("import java.util.stream.*;\n\n");
    s.append("public class ").append(name).append("<T extends Comparable<T>> {\n");
    s.append("  enum Kind { SMALL, MEDIUM, LARGE }\n\n");
    s.append("  record Pair(String label, long value) {}\n\n");
    s.append("  private static final String NAME = \"").append(name).append("\";\n");
    s.append("  private final List<T> items = new ArrayList<>();\n");
    s.append("  private final Map<String, Integer> counts = new TreeMap<>();\n");
    s.append("  protected long total = ").append(i).append("L;\n");
    s.append("  private int added;\n\n");
    if (i % 20 == 0) {
      s.append("  static native int probe(int x);\n");
      s.append("  private native long peek(long a, double b, Object[] c, int[][] d);\n");
      s.append("  public synchronized native String label(boolean b, char c, short s, float f);\n\n");
    }
    s.append("  class Inner {\n");
    s.append("    private final int step;\n");
    s.append("    Inner(int step) { this.step = step; }\n");
    s.append("    long advance(long v) { added += step; return v * 31 + step + items.size(); }\n");
    s.append("  }\n\n");
    s.append("  static final class Nested implements Comparable<Nested> {\n");
    s.append("    final String key;\n");
    s.append("    Nested(String key) { this.key = key; }\n");
    s.append("    @Override public int compareTo(Nested other) { return key.compareTo(other.key); }\n");
    s.append("  }\n\n");
    s.append("  public ").append(name).append("<T> add(T item) {\n");
    s.append("    items.add(item);\n");
    s.append("    counts.merge(String.valueOf(item), 1, Integer::sum);\n");
    s.append("    return this;\n");
    s.append("  }\n\n");
    s.append("  public Optional<T> largest() { return items.stream().max(Comparator.naturalOrder()); }\n\n");
    s.append("  static <E extends Comparable<E>> E smaller(E a, E b) { return a.compareTo(b) <= 0 ? a : b; }\n\n");
    s.append("  static Kind kindOf(long v) {\n");
    s.append("    return switch ((int) Math.floorMod(v, 3L)) {\n");
    s.append("      case 0 -> Kind.SMALL;\n");
    s.append("      case 1 -> Kind.MEDIUM;\n");
    s.append("      default -> Kind.LARGE;\n");
    s.append("    };\n");
    s.append("  }\n\n");
    s.append("  public static long mix(long seed) {\n");
    s.append("    long v = seed * 6364136223846793005L + ").append(1442695040888963407L + i).append("L;\n");
    s.append("    for (int k = 0; k < ").append(i % 7 + 1).append("; k++) {\n");
    s.append("      v ^= (v << 13) | (v >>> 7);\n");
    s.append("    }\n");
    s.append("    return v;\n");
    s.append("  }\n\n");
    if (i % 25 == 0) {
      s.append("  @SuppressWarnings(\"unused\")\n");
      s.append("  static int lint(Object o) {\n");
      s.append("    List raw = new ArrayList();\n");
      s.append("    raw.add(o);\n");
      s.append("    return new Integer(raw.size());\n");
      s.append("  }\n\n");
    }
    s.append("  public static long run(long seed) {\n");
    s.append("    ").append(name).append("<Integer> box = new ").append(name).append("<>();\n");
    s.append("    for (int k = 0; k < 6; k++) box.add((int) Math.floorMod(seed + k * 7L, 97L));\n");
    s.append("    ").append(name).append("<Integer>.Inner inner = box.new Inner(").append(i % 5 + 1).append(");\n");
    s.append("    Function<Long, Long> f = x -> inner.advance(x) + box.added;\n");
    s.append("    Supplier<String> label = () -> NAME + \":\" + box.largest().orElse(-1);\n");
    s.append("    BiFunction<Long, Long, Long> combine = Long::sum;\n");
    s.append("    long[] acc = {seed};\n");
    s.append("    Runnable bump = new Runnable() {\n");
    s.append("      @Override public void run() { acc[0] += box.items.size(); box.total++; }\n");
    s.append("    };\n");
    s.append("    bump.run();\n");
    s.append("    class Local { long twice(long v) { return v << 1; } }\n");
    s.append("    List<Nested> keys = IntStream.range(0, 4).mapToObj(k -> new Nested(NAME + (3 - k)))\n");
    s.append("        .sorted().collect(Collectors.toList());\n");
    s.append("    Pair pair = new Pair(label.get(), combine.apply(acc[0], box.total));\n");
    s.append("    long v = f.apply(pair.value()) + new Local().twice(keys.get(0).key.length());\n");
    s.append("    v += smaller(NAME, keys.get(1).key).length() + kindOf(v).ordinal() + box.counts.size();\n");
    if (i > 0) {
      s.append("    v ^= ").append(qualified(i - 1)).append(".mix(v);\n");
    }
    s.append("    try {\n");
    s.append("      if (Math.floorMod(v, 5L) == 0) throw new IllegalStateException(NAME);\n");
    s.append("    } catch (IllegalStateException e) {\n");
    s.append("      v += e.getMessage().length();\n");
    s.append("    }\n");
    s.append("    return v;\n");
    s.append("  }\n");
    s.append("}\n");
    return s.toString();
  }

  static String mainSource(int count) {
    StringBuilder s = new StringBuilder();
    s.append("package road;\n\n");
    s.append("public final class Main {\n");
    s.append("  public static void main(String[] args) {\n");
    s.append("    long sum = 0;\n");
    for (int i = 0; i < count; i++) {
      s.append("    sum = sum * 31 + ").append(qualified(i)).append(".run(").append(i).append(");\n");
      if (i % 25 == 24 || i == count - 1) {
        s.append("    System.out.println(\"after ").append(className(i)).append(": \" + sum);\n");
      }
    }
    s.append("  }\n");
    s.append("}\n");
    return s.toString();
  }
}
