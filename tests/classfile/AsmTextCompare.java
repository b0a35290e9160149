import java.io.BufferedWriter;
import java.io.IOException;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.util.TraceClassVisitor;

/**
 * Compares pairs of class files as ASM's Textifier prints them with the stack-map frames expanded
 * (ClassReader.EXPAND_FRAMES): constants appear by value, so two classes whose pools differ only in where
 * or whether an unused entry stands print the same.
 *
 * <p>Arguments: a file of pairs, one a line, "original path", tab, "other path"; and the report to write.
 *
 * <p>The report has a line per pair that differs: the original's path, tab, the number of the first line
 * that differs, tab, the original's line, tab, the other's line (a file ASM cannot read prints as the
 * exception). The last line is "compared", tab, the number of pairs, tab, the number that differ.
 */
public final class AsmTextCompare {
  public static void main(String[] args) throws IOException {
    List<String> pairs = Files.readAllLines(Paths.get(args[0]), StandardCharsets.UTF_8);
    int differing = 0;
    try (BufferedWriter report = Files.newBufferedWriter(Paths.get(args[1]), StandardCharsets.UTF_8)) {
      for (String pair : pairs) {
        String[] paths = pair.split("\t");
        String[] original = text(Paths.get(paths[0])).split("\n", -1);
        String[] other = text(Paths.get(paths[1])).split("\n", -1);
        int line = 0;
        while (line < original.length && line < other.length && original[line].equals(other[line])) line++;
        if (line == original.length && line == other.length) continue;
        differing++;
        report.write(paths[0] + "\t" + (line + 1) + "\t" + at(original, line) + "\t" + at(other, line));
        report.newLine();
      }
      report.write("compared\t" + pairs.size() + "\t" + differing);
      report.newLine();
    }
  }

  private static String at(String[] lines, int index) {
    return index < lines.length ? lines[index].trim() : "<end>";
  }

  private static String text(Path file) throws IOException {
    StringWriter text = new StringWriter();
    try {
      new ClassReader(Files.readAllBytes(file))
          .accept(new TraceClassVisitor(new PrintWriter(text)), ClassReader.EXPAND_FRAMES);
    } catch (RuntimeException e) {
      return e.toString();
    }
    return text.toString();
  }
}
