import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.lang.reflect.InvocationTargetException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.TreeMap;

// Drives the agent's Java side as a user's session does, step after step in an order that a seed fixes:
// starts and stops CPU sampling, tracing and call counting, allocation recording in its three modes,
// monitor and exception profiling; registers, unregisters and switches probes (SoakProbes); takes table
// replies and performance and memory snapshots; clears data. After each step it checks the mode word and
// what the probes do. Its files go to its directory:
// - "manifest.txt": a line per finished file, "reply <path>", "performance <path>" or "memory <path>",
//   written once the file is whole, so that a test can read and remove it while the run goes on;
// - "report.txt", at the end: "<figure>=<count>" lines, then a "failure: " line per departure.
final class SoakDriver {
  static final long CPU_BITS = 0x100c;
  static final long ALLOCATION_BITS = 0x6002;
  static final long MONITOR_BIT = 0x80;
  static final long EXCEPTION_BIT = 0x400;
  static final long[] CPU_MODES = {4, 12, 0x1004};
  static final long[] ALLOCATION_MODES = {2, 0x2002, 0x4002};
  static final int ALL_TABLES = 0xFFFFF;
  static final int MINIMUM_STEPS = 8;
  static final String[] CLEARS = {"clearCpuData", "clearAllocationData", "clearMonitorData", "clearExceptions"};

  private final Path directory;
  private final Path probeArchive;
  private final Path manifest;
  private final Random random;
  private final ByteArrayOutputStream captured = new ByteArrayOutputStream();
  private final SoakProbes probes;
  private final Map<String, Integer> counts = new TreeMap<>();
  private final List<String> failures = new ArrayList<>();
  private long cpuMode;
  private long allocationMode;
  private boolean monitors;
  private boolean exceptions;
  private int step;

  SoakDriver(Path directory, Path probeArchive, long seed) {
    this.directory = directory;
    this.probeArchive = probeArchive;
    manifest = directory.resolve("manifest.txt");
    random = new Random(seed);
    probes = new SoakProbes(probeArchive, captured);
  }

  void count(String figure) {
    counts.merge(figure, 1, Integer::sum);
  }

  private void fail(String what) {
    failures.add("step " + step + ": " + what);
  }

  private static String describe(Throwable thrown) {
    final Throwable cause = thrown instanceof InvocationTargetException ? thrown.getCause() : thrown;
    final StringWriter text = new StringWriter();
    cause.printStackTrace(new PrintWriter(text));
    return text.toString().replace('\n', ' ');
  }

  private static Object call(String name, Class<?>[] parameters, Object... arguments) throws Exception {
    return SoakProbes.call(name, parameters, arguments);
  }

  private void expectNull(String what, Object answer) {
    if (answer != null) fail(what + " answered " + answer);
  }

  private void expectBits(String what, long mask, long expected) throws Exception {
    final long status = (Long) call("getStatus", new Class<?>[0]);
    if ((status & mask) != expected) {
      fail(what + ": the mode word is 0x" + Long.toHexString(status) + ", not 0x" + Long.toHexString(expected)
          + " under the mask 0x" + Long.toHexString(mask));
    }
  }

  private long pick(long[] values) {
    return values[random.nextInt(values.length)];
  }

  private void switchCpu() throws Exception {
    if (cpuMode != 0) {
      call("stopCpuProfiling", new Class<?>[] {boolean.class}, random.nextBoolean());
      cpuMode = 0;
    } else {
      final long mode = pick(CPU_MODES);
      expectNull("CPU mode 0x" + Long.toHexString(mode),
          call("startCpuProfiling", new Class<?>[] {long.class, String.class}, mode, null));
      cpuMode = mode;
    }
    count("CPU mode switches");
    expectBits("CPU", CPU_BITS, cpuMode);
  }

  private void switchAllocations() throws Exception {
    if (allocationMode != 0) {
      call("stopAllocationRecording", new Class<?>[0]);
      allocationMode = 0;
    } else {
      final long mode = pick(ALLOCATION_MODES);
      final int recordEach = new int[] {0, 1, 16}[random.nextInt(3)];
      final int sizeLimit = random.nextBoolean() ? 0 : 4096;
      expectNull("allocation mode 0x" + Long.toHexString(mode), call("startAllocationRecording",
          new Class<?>[] {int.class, int.class, long.class, String.class}, recordEach, sizeLimit, mode, null));
      allocationMode = mode;
    }
    count("allocation mode switches");
    expectBits("allocations", ALLOCATION_BITS, allocationMode);
  }

  private void switchMonitors() throws Exception {
    if (monitors) {
      call("stopMonitorProfiling", new Class<?>[0]);
    } else {
      expectNull("monitor profiling", call("startMonitorProfiling", new Class<?>[0]));
    }
    monitors = !monitors;
    count("monitor switches");
    expectBits("monitors", MONITOR_BIT, monitors ? MONITOR_BIT : 0);
  }

  private void switchExceptions() throws Exception {
    call(exceptions ? "stopExceptionProfiling" : "startExceptionProfiling", new Class<?>[0]);
    exceptions = !exceptions;
    count("exception switches");
    expectBits("exceptions", EXCEPTION_BIT, exceptions ? EXCEPTION_BIT : 0);
  }

  private Path nextFile(String kind) {
    return directory.resolve(kind + "-" + step);
  }

  private void finished(String kind, Path file) throws Exception {
    Files.write(manifest, (kind + " " + file + "\n").getBytes(StandardCharsets.UTF_8), StandardOpenOption.CREATE,
        StandardOpenOption.APPEND);
    count(kind.equals("reply") ? "replies" : kind + " snapshots");
  }

  // All tables or a random choice of them, with every row or the rows changed since random stamps.
  private void reply() throws Exception {
    final int mask = random.nextBoolean() ? ALL_TABLES : random.nextInt(ALL_TABLES + 1);
    final int[] since = new int[20];
    if (random.nextBoolean()) {
      for (int i = 0; i < since.length; i++) since[i] = random.nextInt(step + 1);
    }
    final Path file = nextFile("reply");
    Files.write(file, AgentCalls.tableReply(mask, since));
    finished("reply", file);
  }

  private void snapshot(boolean memory) throws Exception {
    final String kind = memory ? "memory" : "performance";
    final Path file = nextFile(kind);
    expectNull(kind + " snapshot", call("captureSnapshot", new Class<?>[] {String.class, int.class, long.class},
        file.toString(), 0, memory ? 1L : 0L));
    finished(kind, file);
  }

  private void query() throws Exception {
    if (call("getDatabaseStatistics", new Class<?>[0]) == null) fail("no database statistics");
    call("getTopEventTableNames", new Class<?>[0]);
    call("getTotalExceptionsThrown", new Class<?>[0]);
    call("getNativeAllocationCounterResult", new Class<?>[0]);
    call("forceGarbageCollectionJvmti", new Class<?>[0]);
    count("queries");
  }

  private void step() throws Exception {
    final int choice = random.nextInt(24);
    if (choice < 3) {
      switchCpu();
    } else if (choice < 6) {
      switchAllocations();
    } else if (choice < 8) {
      switchMonitors();
    } else if (choice < 10) {
      switchExceptions();
    } else if (choice < 14) {
      final String answer = probes.change(random, this);
      if (answer != null) fail(answer);
    } else if (choice < 17) {
      reply();
    } else if (choice < 18) {
      snapshot(false);
    } else if (choice < 19) {
      snapshot(true);
    } else if (choice < 20) {
      call(CLEARS[random.nextInt(CLEARS.length)], new Class<?>[0]);
      count("clears");
    } else if (choice < 21) {
      query();
    } else {
      Thread.sleep(20 + random.nextInt(180));
    }
    for (String departure : probes.check(cpuMode, "s" + step)) fail(departure);
  }

  void run(double seconds) {
    final PrintStream programOutput = System.out;
    System.setOut(new PrintStream(captured, true));
    final long start = System.nanoTime();
    try {
      // What the Java side does after an attach; without one it does nothing.
      call("retransformClassesLoadedBeforeAgentAttached", new Class<?>[0]);
      // The probes registered by name are found, and load, there.
      call("addProbePath", new Class<?>[] {String.class}, probeArchive.toString());
      for (String departure : probes.check(cpuMode, "first")) fail(departure);
      final long end = start + (long) (seconds * 1e9);
      // A few steps however slow they are (the first start of tracing after an attach retransforms every
      // class loaded before it), so that a loaded machine still drives something.
      while (System.nanoTime() < end || step < MINIMUM_STEPS) {
        step++;
        try {
          step();
        } catch (Throwable thrown) {
          fail(describe(thrown));
        }
      }
    } catch (Throwable thrown) {
      fail("the driver stopped: " + describe(thrown));
    } finally {
      System.setOut(programOutput);
      report((System.nanoTime() - start) / 1e9);
    }
  }

  private void report(double seconds) {
    final StringBuilder text = new StringBuilder();
    text.append(String.format("seconds=%.1f%nsteps=%d%n", seconds, step));
    for (Map.Entry<String, Integer> figure : counts.entrySet()) {
      text.append(figure.getKey()).append('=').append(figure.getValue()).append('\n');
    }
    for (String failure : failures) text.append("failure: ").append(failure).append('\n');
    try {
      Files.write(directory.resolve("report.txt"), text.toString().getBytes(StandardCharsets.UTF_8));
    } catch (Exception e) {
      throw new IllegalStateException(e);
    }
  }
}
