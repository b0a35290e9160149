import com.brantel.Natives;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;

// The host's dominator computation run by a peer process, which dies on the way, as the host meets it:
//   DominatorPeer LIBRARY DIRECTORY
//     requests over the graph 1 -> 2, 1 -> 3, 2 -> 4, 3 -> 4, 4 -> 5 whose computation a peer JVM runs
//     (Natives.dc); the peer is killed before it writes anything, then once half its result is written,
//     and the runnable returns as if nothing happened. Prints each request's outcome and the dominators.
//   DominatorPeer peer LIBRARY INPUT OUTPUT stall|half|whole
//     the peer: says "started" and waits to be killed; or writes half its result and says "half
//     written" and waits; or writes it whole.
public final class DominatorPeer {
  static final class PeerRun implements Runnable {
    final String library;
    final String input;
    final String output;
    final String mode;

    PeerRun(String library, String input, String output, String mode) {
      this.library = library;
      this.input = input;
      this.output = output;
      this.mode = mode;
    }

    @Override
    public void run() {
      String java = Paths.get(System.getProperty("java.home"), "bin", "java").toString();
      try {
        Process peer = new ProcessBuilder(java, "-cp", System.getProperty("java.class.path"), "DominatorPeer",
            "peer", library, input, output, mode).redirectErrorStream(true).start();
        if (!mode.equals("whole")) {
          // Killed once it says where it is: before writing, or half-way.
          BufferedReader said =
              new BufferedReader(new InputStreamReader(peer.getInputStream(), StandardCharsets.UTF_8));
          for (String line = said.readLine(); line != null && !line.equals("started")
              && !line.equals("half written"); line = said.readLine()) {
          }
          peer.destroyForcibly();
        }
        peer.waitFor();
      } catch (Exception e) {
        throw new RuntimeException(e);
      }
    }
  }

  static void waitToBeKilled() throws InterruptedException {
    System.out.flush();
    Thread.sleep(Long.MAX_VALUE);
  }

  static void peer(String[] args) throws Exception {
    System.load(args[1]);
    Path output = Paths.get(args[3]);
    if (args[4].equals("stall")) {
      System.out.println("started");
      waitToBeKilled();
    }
    Path whole = Paths.get(args[3] + ".whole");
    int code = Natives.dc(args[2], whole.toString(), "snca", null);
    if (code != 0) throw new IllegalStateException("dc returned " + code);
    byte[] result = Files.readAllBytes(whole);
    Files.delete(whole);
    if (args[4].equals("whole")) {
      Files.write(output, result);
      return;
    }
    Files.write(output, Arrays.copyOf(result, result.length / 2));
    System.out.println("half written");
    waitToBeKilled();
  }

  static void request(String name, String library, Path directory, long storage, int[] roots, String mode) {
    String input = directory.resolve("peer.dgi").toString();
    String result = directory.resolve("peer.idom").toString();
    try {
      Natives.computeDominatorsImpl(input, result, result, new PeerRun(library, input, result, mode), storage, roots,
          new int[] {0b111110});
      System.out.println(name + ": done");
    } catch (RuntimeException e) {
      System.out.println(name + " threw " + e);
    }
    StringBuilder dominators = new StringBuilder("dominators:");
    for (int object = 1; object <= 5; object++) {
      dominators.append(' ').append(Natives.getDominatorImpl(storage, object));
    }
    System.out.println(dominators);
  }

  public static void main(String[] args) throws Exception {
    if (args[0].equals("peer")) {
      peer(args);
      return;
    }
    System.load(args[0]);
    DominatorRequests.Graph graph = new DominatorRequests.Graph();
    graph.objects = 5;
    graph.lists = new int[][] {{}, {2, 3}, {4}, {4}, {5}, {}};
    graph.roots = new int[] {1};
    long storage = DominatorRequests.storageOf(graph);
    Path directory = Paths.get(args[1]);
    request("computed", args[0], directory, storage, new int[] {1}, "whole");
    // With 4 a root too the result of the first request no longer fits; what is left of a killed peer's
    // work must not pass for the new one.
    int[] roots = {1, 4};
    request("peer killed before writing", args[0], directory, storage, roots, "stall");
    request("peer killed half-way", args[0], directory, storage, roots, "half");
    request("computed again", args[0], directory, storage, roots, "whole");
    Natives.deleteStorage(storage);
  }
}
