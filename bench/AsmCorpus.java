import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.function.Consumer;
import java.util.function.ToLongFunction;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * What the ASM references of the class-file benchmarks share: the class files of a directory loaded into
 * memory, and the median rate of timed passes over them after the JIT is warmed up with full passes.
 */
final class AsmCorpus {
  private static final int WARM_UP_PASSES = 5;
  private static final int TIMED_PASSES = 5;
  // Where every pass leaves its result, so that the JIT cannot drop the work.
  private static volatile long sink;

  final List<byte[]> classes = new ArrayList<>();
  int refused;

  /** The class files under `directory`, in path order, that `probe` takes without an exception. */
  static AsmCorpus load(String directory, Consumer<byte[]> probe) throws IOException {
    List<Path> files;
    try (Stream<Path> walk = Files.walk(Paths.get(directory))) {
      files = walk.filter(p -> p.toString().endsWith(".class") && Files.isRegularFile(p))
          .sorted().collect(Collectors.toList());
    }
    AsmCorpus corpus = new AsmCorpus();
    for (Path file : files) {
      byte[] bytes = Files.readAllBytes(file);
      try {
        probe.accept(bytes);
        corpus.classes.add(bytes);
      } catch (RuntimeException e) {
        corpus.refused++;
      }
    }
    return corpus;
  }

  /** The median of the timed passes, in classes per second; a pass answers a sum of its results. */
  double medianRate(ToLongFunction<List<byte[]>> pass) {
    for (int i = 0; i < WARM_UP_PASSES; i++) sink = pass.applyAsLong(classes);
    double[] rates = new double[TIMED_PASSES];
    for (int i = 0; i < TIMED_PASSES; i++) {
      long start = System.nanoTime();
      sink = pass.applyAsLong(classes);
      rates[i] = classes.size() / ((System.nanoTime() - start) / 1e9);
    }
    Arrays.sort(rates);
    return rates[TIMED_PASSES / 2];
  }
}
