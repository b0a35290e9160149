import com.brantel.Natives;
import java.io.IOException;
import java.io.RandomAccessFile;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

// Natives.dc driven as the host's dominator request drives it, in a JVM that loads the library with
// System.load and starts no agent. Usage: DominatorCalls LIBRARY DIRECTORY SCENARIO. Each call prints
// "<case>=<code>" and, when the output file exists, "<case> output:" with its values.
public final class DominatorCalls {
  public static void main(String[] args) throws IOException {
    System.load(args[0]);
    Path directory = Paths.get(args[1]);
    switch (args[2]) {
      case "codes": codes(directory); break;
      case "oome": oome(directory); break;
      default: throw new IllegalArgumentException("no scenario " + args[2]);
    }
  }

  static Path graph(Path directory, String name, int... values) throws IOException {
    ByteBuffer bytes = ByteBuffer.allocate(4 * values.length).order(ByteOrder.LITTLE_ENDIAN);
    for (int value : values) bytes.putInt(value);
    return Files.write(directory.resolve(name), bytes.array());
  }

  static void call(String name, String input, Path output, String algorithm, String tempDir) throws IOException {
    Files.deleteIfExists(output);
    System.out.println(name + "=" + Natives.dc(input, output.toString(), algorithm, tempDir));
    if (!Files.exists(output)) return;
    ByteBuffer bytes = ByteBuffer.wrap(Files.readAllBytes(output)).order(ByteOrder.LITTLE_ENDIAN);
    StringBuilder line = new StringBuilder(name + " output:");
    while (bytes.remaining() >= 4) line.append(' ').append(bytes.getInt());
    System.out.println(line);
  }

  static void codes(Path directory) throws IOException {
    Path out = directory.resolve("out.bin");
    String diamond = graph(directory, "diamond.bin", 5, 2, 2, 3, 1, 4, 1, 4, 0, 1, 1).toString();
    call("diamond", diamond, out, "snca", directory.toString());
    call("upper case", diamond, out, "SNCA", null);
    call("null algorithm", diamond, out, null, null);
    call("null input", null, out, "snca", null);
    call("bad count", graph(directory, "count.bin", 3, -1, 2, 0, 1, 1).toString(), out, "snca", null);
    call("no root", graph(directory, "noroot.bin", 3, 1, 2, 0, 0, 0).toString(), out, "snca", null);
  }

  // N near 2^31 in a sparse file that can hold it: the node arrays take gigabytes, more than the JVM's
  // address space allows. A small graph afterwards still computes.
  static void oome(Path directory) throws IOException {
    int n = Integer.MAX_VALUE - 16;
    Path big = directory.resolve("big.bin");
    try (RandomAccessFile file = new RandomAccessFile(big.toFile(), "rw")) {
      file.setLength(4L * n + 5);
      file.write(new byte[] {(byte) n, (byte) (n >> 8), (byte) (n >> 16), (byte) (n >>> 24)});
    }
    Path out = directory.resolve("out.bin");
    call("huge", big.toString(), out, "snca", null);
    Files.delete(big);
    call("small", graph(directory, "small.bin", 3, 1, 2, 0, 1, 1).toString(), out, "snca", null);
  }
}
