import java.io.IOException;
import java.util.List;

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
  public static void main(String[] args) throws IOException {
    AsmCorpus corpus = AsmCorpus.load(args[0], bytes -> roundTrip(bytes, true));
    System.out.println("classes " + corpus.classes.size());
    System.out.println("refused " + corpus.refused);
    System.out.println("accept_per_second " + corpus.medianRate(classes -> pass(classes, false)));
    System.out.println("accept_bytes_per_second " + corpus.medianRate(classes -> pass(classes, true)));
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
}
