import java.io.File;
import java.io.FileOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;

// Faults the agent meets while it writes what CPU tracing (started by the options) recorded: the program
// makes 1000 traced calls, takes a table reply into <directory>/before.reply, makes 500 more, meets the
// fault, then takes the reply again into <directory>/after.reply with the generations the first reply
// gave, and prints what each step answered. Run with --add-opens java.base/sun.nio.ch=ALL-UNNAMED for the
// table replies (see AgentCalls).
//   Faults fullDevice <directory> <device directory>
//     the device filled up, then a performance and a memory snapshot and a reply that spills (the agent's
//     temporary directory being on the device) fail there; the device emptied before the second reply,
//     then a snapshot into <directory>/after.snapshot
//   Faults cutReply <directory>
//     a reply of every row whose client closes its socket after a few bytes
// and faults of the probe path, without tracing:
//   Faults corruptArchives <archive of OtherProbe> <archive of InstanceProbe> (<corrupt archive> <probe>)...
//     OtherProbe registered from its archive, then each corrupt archive added to the probe path and its
//     probe registered, then InstanceProbe from an archive added after them all
public class Faults {
  static volatile long sink;

  // Instrumented: it has a loop.
  static void traced() {
    for (int k = 0; k < 2; k++) {
      sink++;
    }
  }

  static void calls(int count) {
    for (int i = 0; i < count; i++) {
      traced();
    }
  }

  static Object capture(String path, long flags) throws Exception {
    return AgentCalls.callback("captureSnapshot", String.class, int.class, long.class).invoke(null, path, 0, flags);
  }

  static void fill(File filler) {
    byte[] block = new byte[65536];
    try (FileOutputStream out = new FileOutputStream(filler)) {
      while (true) {
        out.write(block);
      }
    } catch (IOException full) {
      System.out.println("device full: " + full.getMessage());
    }
  }

  static void fullDevice(String device) throws Exception {
    File filler = new File(device, "filler");
    fill(filler);
    for (String kind : new String[] {"performance", "memory"}) {
      File target = new File(device, kind + ".snapshot");
      Object result = capture(target.getPath(), kind.equals("memory") ? 1 : 0);
      System.out.println(kind + " snapshot on the full device: " + result + " exists=" + target.exists());
    }
    int[] since = new int[20];
    Arrays.fill(since, 1);
    System.out.println("reply on the full device: " + AgentCalls.tableReply(SamplingCalls.PROFILE_TABLES, since).length
        + " bytes");
    String[] left = new File(device).list();
    Arrays.sort(left);
    System.out.println("left on the device: " + String.join(" ", left));
    System.out.println("device emptied: " + filler.delete());
  }

  static Object callback(String name, Class<?>[] parameters, Object... arguments) throws Exception {
    try {
      return AgentCalls.callback(name, parameters).invoke(null, arguments);
    } catch (java.lang.reflect.InvocationTargetException e) {
      return e.getCause().toString();
    }
  }

  static void addProbePath(String archive) throws Exception {
    callback("addProbePath", new Class<?>[] {String.class}, archive);
  }

  static Object register(String probe) throws Exception {
    return callback("registerProbesByName", new Class<?>[] {String[].class}, (Object) new String[] {probe});
  }

  static void corruptArchives(String[] archives) throws Exception {
    addProbePath(archives[0]);
    System.out.println("OtherProbe: " + register("dynamic.OtherProbe"));
    ProbeTarget.other();
    for (int i = 2; i + 1 < archives.length; i += 2) {
      addProbePath(archives[i]);
      System.out.println(new File(archives[i]).getName() + ": " + register(archives[i + 1]));
    }
    ProbeTarget.other();
    ProbeTarget.work("unprobed");
    addProbePath(archives[1]);
    System.out.println("InstanceProbe: " + register("dynamic.InstanceProbe"));
    new ShapeSquare().describe();
  }

  public static void main(String[] args) throws Exception {
    if (args[0].equals("corruptArchives")) {
      corruptArchives(Arrays.copyOfRange(args, 1, args.length));
      return;
    }
    String directory = args[1];
    calls(1000);
    Files.write(Paths.get(directory, "before.reply"), AgentCalls.tableReply(SamplingCalls.PROFILE_TABLES));
    calls(500);
    switch (args[0]) {
      case "fullDevice":
        fullDevice(args[2]);
        break;
      case "cutReply":
        System.out.println("client read " + AgentCalls.replyCutShort(SamplingCalls.PROFILE_TABLES, 64) + " bytes");
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
    int[] since = new int[20];
    Arrays.fill(since, 1);
    Files.write(Paths.get(directory, "after.reply"), AgentCalls.tableReply(SamplingCalls.PROFILE_TABLES, since));
    if (args[0].equals("fullDevice")) {
      System.out.println("snapshot: " + capture(new File(directory, "after.snapshot").getPath(), 0));
    }
    System.out.println("done");
  }
}
