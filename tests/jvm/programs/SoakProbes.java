import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.zip.ZipFile;

// The test probes that SoakDriver registers (by name from the probe archive, or by bytecode read from
// it), unregisters and switches between Off, On and Auto, and what their targets must do in each state: a
// probe is active when registered and On, or Auto while CPU sampling or tracing runs. A probe keeps its
// mode when it is unregistered and registered again. The targets are called on the driver's thread, whose
// standard output the driver captures, so that the probes' lines never reach the program's output.
final class SoakProbes {
  static final int OFF = 0;
  static final int ON = 1;
  static final int AUTO = 2;

  interface Check {
    // The departure from what the target does when the probe is active or not; null when there is none.
    String run(boolean active, String tag) throws Exception;
  }

  static final class Probe {
    final String name;
    final String[] classFiles;  // the group's class files registered by bytecode; null: by name
    final Check check;
    boolean registered;
    boolean defined;  // its classes were defined in the bootstrap loader by an earlier registration
    int mode = ON;

    Probe(String name, String[] classFiles, Check check) {
      this.name = name;
      this.classFiles = classFiles;
      this.check = check;
    }
  }

  private final Path archive;
  private final ByteArrayOutputStream captured;
  final List<Probe> probes = new ArrayList<>();

  SoakProbes(Path archive, ByteArrayOutputStream captured) {
    this.archive = archive;
    this.captured = captured;
    probes.add(new Probe("dynamic.TargetProbe", null,
        (active, tag) -> printed(() -> ProbeTarget.work(tag), (active ? "TargetProbe saw " + tag + "\n" : "") + "work " + tag + "\n")));
    probes.add(new Probe("dynamic.OtherProbe", null,
        (active, tag) -> printed(ProbeTarget::other, (active ? "OtherProbe saw other\n" : "") + "other\n")));
    probes.add(new Probe("dynamic.InstanceProbe", null, (active, tag) -> printed(() -> {
      new ShapeSquare().describe();
      new ShapeLoose().describe();
    }, (active ? "InstanceProbe saw describe\n" : "") + "square\nloose\n")));
    probes.add(new Probe("weaving.RowProbe", null, (active, tag) -> {
      final String greeting = WovenWorkload.greet(tag);
      final int quotient = new WovenWorkload(1).divide(84, 2);
      String thrown = "nothing";
      try {
        new WovenWorkload(0).divide(1, 0);
      } catch (ArithmeticException e) {
        thrown = e.getMessage();
      }
      return expect(greeting + " " + quotient + " " + thrown, "hello " + tag + " 43 / by zero");
    }));
    probes.add(new Probe("dynamic.BytecodeProbe", new String[] {"dynamic/BytecodeProbe", null},
        (active, tag) -> printed(ProbeTarget::byBytecode, (active ? "BytecodeProbe saw byBytecode\n" : "") + "byBytecode\n")));
    probes.add(new Probe("stubs.ChangingProbe", new String[] {"stubs/ChangingProbe", "stubs/ChangingProbe$Greeting", null},
        (active, tag) -> {
          String divided;
          try {
            divided = String.valueOf(StubbedWorkload.divide(1, 0));
          } catch (ArithmeticException e) {
            divided = e.getMessage();
          }
          final String got = StubbedWorkload.greet(tag) + " " + StubbedWorkload.compute(21) + " " + divided;
          return expect(got, active ? "HELLO " + tag.toUpperCase() + " 1042 -1" : "hello " + tag + " 42 / by zero");
        }));
  }

  interface Target {
    void run() throws Exception;
  }

  private String printed(Target target, String expected) throws Exception {
    captured.reset();
    target.run();
    return expect(new String(captured.toByteArray(), StandardCharsets.UTF_8), expected);
  }

  private static String expect(String got, String expected) {
    return got.equals(expected) ? null : "got \"" + got + "\" where \"" + expected + "\" belongs";
  }

  static boolean active(Probe probe, long cpuMode) {
    return probe.registered && (probe.mode == ON || (probe.mode == AUTO && (cpuMode == 4 || cpuMode == 12)));
  }

  static Object call(String name, Class<?>[] parameters, Object... arguments) throws Exception {
    return AgentCalls.callback(name, parameters).invoke(null, arguments);
  }

  // Registers or unregisters one probe, or switches the modes of some registered ones; the answer of the
  // native, null when it reported nothing.
  String change(Random random, SoakDriver driver) throws Exception {
    final Probe probe = probes.get(random.nextInt(probes.size()));
    if (!probe.registered) {
      final Object answer;
      if (probe.classFiles == null) {
        answer = call("registerProbesByName", new Class<?>[] {String[].class}, (Object) new String[] {probe.name});
        driver.count("probes registered by name");
      } else {
        final byte[][] classes = new byte[probe.classFiles.length][];
        try (ZipFile zip = new ZipFile(archive.toFile())) {
          for (int i = 0; i < classes.length; i++) {
            if (probe.classFiles[i] == null) continue;
            try (InputStream in = zip.getInputStream(zip.getEntry(probe.classFiles[i] + ".class"))) {
              classes[i] = in.readAllBytes();
            }
          }
        }
        answer = call("registerProbesByBytecode", new Class<?>[] {byte[][].class, boolean.class, boolean.class}, classes,
            !probe.defined, false);
        probe.defined = true;
        driver.count("probes registered by bytecode");
      }
      probe.registered = true;
      return answer == null ? null : "register " + probe.name + ": " + answer;
    }
    if (random.nextInt(3) == 0) {
      call("unregisterProbes", new Class<?>[] {String[].class}, (Object) new String[] {probe.name});
      probe.registered = false;
      driver.count("probes unregistered");
      return null;
    }
    final List<String> names = new ArrayList<>();
    final List<Integer> modes = new ArrayList<>();
    for (Probe other : probes) {
      if (other.registered && (other == probe || random.nextBoolean())) {
        other.mode = random.nextInt(3);
        names.add(other.name);
        modes.add(other.mode);
      }
    }
    final Object answer = call("setProbeActivityModes", new Class<?>[] {String[].class, int[].class},
        names.toArray(new String[0]), modes.stream().mapToInt(Integer::intValue).toArray());
    driver.count("probe mode switches");
    return answer == null ? null : "modes " + names + " " + modes + ": " + answer;
  }

  // Whether each probe's target behaves as its state says, and the natives tell that state; the departures.
  List<String> check(long cpuMode, String tag) throws Exception {
    final List<String> departures = new ArrayList<>();
    for (Probe probe : probes) {
      final boolean active = active(probe, cpuMode);
      final String departure = probe.check.run(active, tag);
      if (departure != null) departures.add(probe.name + (active ? " active: " : " inactive: ") + departure);
      final Object on = call("isProbeOn", new Class<?>[] {String.class}, probe.name);
      if (!Boolean.valueOf(active).equals(on)) {
        departures.add(probe.name + ": isProbeOn says " + on + " (registered " + probe.registered + ", mode " + probe.mode
            + ", CPU mode 0x" + Long.toHexString(cpuMode) + ")");
      }
      for (int mode = OFF; mode <= AUTO; mode++) {
        final String[] listed = (String[]) call("getProbes", new Class<?>[] {int.class}, mode);
        final boolean inList = Arrays.asList(listed).contains(probe.name);
        // A probe that made an event table stays listed, in its mode, once unregistered.
        if (probe.registered ? inList != (probe.mode == mode) : inList && probe.mode != mode) {
          departures.add(probe.name + ": getProbes(" + mode + ") gives " + Arrays.toString(listed));
        }
      }
    }
    return departures;
  }
}
