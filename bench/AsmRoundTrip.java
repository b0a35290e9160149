import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import java.util.stream.Stream;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.ClassWriter;

/**
 * ASM's read and write of every class file under a directory, the reference for the agent's class-file
 * benchmark (bench/ClassFileBench.cpp) over the same files. The classes are loaded into memory first, the
 * JIT is warmed up with full passes, then five passes are timed and their median is printed, in classes
 * per second, once for the visit alone (ClassReader.accept into a ClassWriter, frames expanded) and once
 * with the class's bytes assembled (ClassWriter.toByteArray), which is what the agent's write produces.
 *
 * <p>Argument: the corpus directory. Output lines: "classes N", "refused N" (files that ASM cannot read),
 * "accept_per_second X", "accept_bytes_per_second X".
 */
public final class AsmRoundTrip {
  private static final int WARM_UP_PASSES = 5;
  private static final int TIMED_PASSES = 5;
  // Where every pass leaves its result, so that the JIT cannot drop the work.
  private static volatile long sink;

  public static void main(String[] args) throws IOException {
    List<Path> files;
    try (Stream<Path> walk = Files.walk(Paths.get(args[0]))) {
      files = walk.filter(p -> p.toString().endsWith(".class") && Files.isRegularFile(p))
          .sorted().collect(Collectors.toList());
    }
    List<byte[]> classes = new ArrayList<>();
    int refused = 0;
    for (Path file : files) {
      byte[] bytes = Files.readAllBytes(file);
      try {
        roundTrip(bytes, true);
        classes.add(bytes);
      } catch (RuntimeException e) {
        refused++;
      }
    }
    System.out.println("classes " + classes.size());
    System.out.println("refused " + refused);
    System.out.println("accept_per_second " + medianRate(classes, false));
    System.out.println("accept_bytes_per_second " + medianRate(classes, true));
  }

  private static int roundTrip(byte[] bytes, boolean assemble) {
    ClassWriter writer = new ClassWriter(0);
    new ClassReader(bytes).accept(writer, ClassReader.EXPAND_FRAMES);
    return assemble ? writer.toByteArray().length : 0;
  }

  private static long pass(List<byte[]> classes, boolean assemble) {
    long sum = 0;
    for (byte[] bytes : classes) sum += roundTrip(bytes, assemble);
    return sum;
  }

  private static double medianRate(List<byte[]> classes, boolean assemble) {
    for (int i = 0; i < WARM_UP_PASSES; i++) sink = pass(classes, assemble);
    double[] rates = new double[TIMED_PASSES];
    for (int i = 0; i < TIMED_PASSES; i++) {
      long start = System.nanoTime();
      sink = pass(classes, assemble);
      rates[i] = classes.size() / ((System.nanoTime() - start) / 1e9);
    }
    Arrays.sort(rates);
    return rates[TIMED_PASSES / 2];
  }
}
