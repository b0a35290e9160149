import com.brantel.Natives;
import com.brantel.tallyscope.hostApi.HostApiNatives;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.concurrent.Callable;

// The host's process and platform natives. Usage: ProcessCalls LIBRARY self | children DIR |
// markers PID PORT | retransform (under the agent). Prints one line per observation, "<name>=<result>" or "<name> threw <class>:
// <message>"; arrays print as Arrays.toString does, and line breaks inside a text as "|".
public final class ProcessCalls {
  static void report(String name, Callable<Object> call) {
    try {
      Object result = call.call();
      String text;
      if (result instanceof int[]) {
        text = Arrays.toString((int[]) result);
      } else if (result instanceof long[]) {
        text = Arrays.toString((long[]) result);
      } else if (result instanceof Object[]) {
        text = Arrays.toString((Object[]) result);
      } else {
        text = String.valueOf(result);
      }
      System.out.println(name + "=" + text.replace("\n", "|"));
    } catch (Throwable t) {
      System.out.println(name + " threw " + t.getClass().getName() + ": " + t.getMessage());
    }
  }

  static void self() throws Exception {
    final int pid = (int) ProcessHandle.current().pid();
    report("getPid", () -> Natives.getPid() == pid);
    report("isLivePid", () -> Natives.isLivePid(pid));
    report("getProcessOwner", () -> Natives.getProcessOwner(pid).equals(System.getProperty("user.name")));
    report("getProcessBitnessImpl", () -> Natives.getProcessBitnessImpl(pid));
    report("getCommandLineByPid", () -> Natives.getCommandLineByPid(pid).endsWith("\nProcessCalls\n"
        + String.join("\n", commandArguments())));
    report("getSessionNameByCommandLine", () -> Natives.getSessionNameByCommandLine(pid));
    report("getPlatform", Natives::getPlatform);
    report("is64BitMachineImpl", Natives::is64BitMachineImpl);
    report("getHostName", () -> Natives.getHostName().length() > 0);
    report("getPlatformTempDir", Natives::getPlatformTempDir);
    report("getSystemPhysicalMemorySize", () -> Natives.getSystemPhysicalMemorySize() > (1L << 26));
    report("getXResolutionWindowsImpl", Natives::getXResolutionWindowsImpl);
    report("getTimeNsForTracing", () -> {
      long first = Natives.getTimeNsForTracing();
      Thread.sleep(5);
      return Natives.getTimeNsForTracing() - first >= 5_000_000L;
    });
    report("isAdministrator", Natives::isAdministrator);
    report("createMutex", () -> {
      Natives.createMutex();
      Natives.createMutex();
      return "twice";
    });
    // Every special Java process is another live process running a java executable.
    report("getSpecialJavaPids", () -> {
      for (int other : Natives.getSpecialJavaPids()) {
        if (other == pid) return other + " is this process";
        String command = ProcessHandle.of(other).flatMap(p -> p.info().command()).orElse(null);
        if (command != null && !command.endsWith("/java")) return other + " " + command;  // null: it ended since
      }
      return "only other java processes";
    });
    report("getLogFilePath before", Natives::getLogFilePath);
    report("messageToLogFile", () -> {
      Natives.messageToLogFile("host line from ProcessCalls");
      return "written";
    });
    report("getLogFilePath after", Natives::getLogFilePath);
    report("getProcessID 0", () -> Natives.getProcessID(0));
    report("getProcessID own", () -> Natives.getProcessID(pid) == pid);

    String[][] options = {{"empty", ""}, {"valid", "sampling,port=10001"}, {"unknown", "bogustoken"},
        {"bad value", "port=x"}, {"conflict", "tracing,sampling"}};
    for (String[] option : options) report("validateStartupOptions " + option[0], () -> Natives.validateStartupOptions(option[1]));
    report("validateStartupOptions null", () -> Natives.validateStartupOptions(null));
    report("validateMethodPattern valid", () -> Natives.validateMethodPattern("java.lang.String:length()"));
    report("validateMethodPattern null", () -> Natives.validateMethodPattern(null));

    String[][] matches = {{"a*c", "abc"}, {"a*c", "ac"}, {"a*c", "abd"}, {"a*c", "Abc"}, {"*", ""}, {"*", "xyz"},
        {"", ""}, {"", "a"}, {"a**", "a"}};
    for (String[] m : matches) report("matches " + m[0] + " " + m[1], () -> Natives.matches(m[0], m[1]));
    report("matches null null", () -> Natives.matches(null, null));
    report("matches * null", () -> Natives.matches("*", null));

    report("retransformClass", () -> Natives.retransformClass("java/lang/Object", new byte[] {1}));
    report("runAsAdministratorImpl", () -> Natives.runAsAdministratorImpl("/bin/true", "", false, false));
    report("runAsAdministratorImpl null file", () -> Natives.runAsAdministratorImpl(null, "", false, false));
    report("runAsAdministratorImpl null parameters", () -> Natives.runAsAdministratorImpl("/bin/true", null, true, true));

    report("createDatabase", () -> {
      long handle = Natives.createDatabase();
      Natives.deleteDatabaseImpl(handle);
      return handle != 0;
    });
    report("deleteDatabaseImpl 0", () -> {
      Natives.deleteDatabaseImpl(0);
      return "deleted";
    });

    report("HostApiNatives.dispatchLong d_getPid", () -> HostApiNatives.dispatchLong("d_getPid") == pid);
    report("HostApiNatives.dispatchLong unknown", () -> HostApiNatives.dispatchLong("no such key"));
    report("HostApiNatives.dispatchNullable d_get_platform", () -> HostApiNatives.dispatchNullable("d_get_platform", null));
    report("HostApiNatives.dispatchNullable d_command_line", () -> {
      String[] line = (String[]) HostApiNatives.dispatchNullable("d_command_line", null);
      return String.join("\n", line).equals(Natives.getCommandLineByPid(pid));
    });
    report("HostApiNatives.dispatchNullable d_get_env", () -> HostApiNatives.dispatchNullable("d_get_env", new String[] {"BRANTEL_HOME"}));
    report("HostApiNatives.dispatchNullable d_clear_charts", () -> HostApiNatives.dispatchNullable("d_clear_charts", null));
    report("HostApiNatives.getUptimeMs", () -> {
      long first = HostApiNatives.getUptimeMs();
      Thread.sleep(20);
      long second = HostApiNatives.getUptimeMs();
      return first >= 0 && second - first >= 20;
    });
    report("HostApiNatives.getProcessCpuTimeNs", () -> HostApiNatives.getProcessCpuTimeNs() > 0);
    report("HostApiNatives.getSystemCpuTimeNs", () -> HostApiNatives.getSystemCpuTimeNs() >= HostApiNatives.getProcessCpuTimeNs());
  }

  static String[] arguments;

  static String[] commandArguments() { return arguments; }

  static void children(Path directory) throws Exception {
    Process sleeper = new ProcessBuilder("/bin/sleep", "30").start();
    Process busy = new ProcessBuilder("/bin/sh", "-c", "while :; do :; done", "name with blanks").start();
    try {
      final int sleeperPid = (int) sleeper.pid();
      final int busyPid = (int) busy.pid();
      String sleepPath = Paths.get("/bin/sleep").toRealPath().toString();
      String shPath = Paths.get("/bin/sh").toRealPath().toString();
      report("getCommandLineByPid sleeper", () -> Natives.getCommandLineByPid(sleeperPid));
      report("getCommandLineByPid busy", () -> Natives.getCommandLineByPid(busyPid));
      report("getProcessPathByPid sleeper", () -> Natives.getProcessPathByPid(sleeperPid).equals(sleepPath));
      report("getProcessPathByPid busy", () -> Natives.getProcessPathByPid(busyPid).equals(shPath));
      report("getSessionNameByCommandLine sleeper", () -> Natives.getSessionNameByCommandLine(sleeperPid));
      report("getProcessOwner sleeper", () -> Natives.getProcessOwner(sleeperPid).equals(System.getProperty("user.name")));
      report("getProcessBitnessImpl sleeper", () -> Natives.getProcessBitnessImpl(sleeperPid));
      report("isLivePid sleeper", () -> Natives.isLivePid(sleeperPid));
      report("getOtherProcessCpuTimeNs busy", () -> {
        long deadline = System.nanoTime() + 10_000_000_000L;
        long time;
        while ((time = Natives.getOtherProcessCpuTimeNs(busyPid)) < 50_000_000L && System.nanoTime() < deadline) {
          Thread.sleep(20);
        }
        return time >= 50_000_000L;
      });
    } finally {
      sleeper.destroyForcibly().waitFor();
      busy.destroyForcibly().waitFor();
    }

    Process ended = new ProcessBuilder("/bin/true").start();
    ended.waitFor();
    final int endedPid = (int) ended.pid();
    report("isLivePid ended", () -> Natives.isLivePid(endedPid));
    report("getProcessBitnessImpl ended", () -> Natives.getProcessBitnessImpl(endedPid));
    report("getCommandLineByPid ended", () -> Natives.getCommandLineByPid(endedPid));
    report("getProcessPathByPid ended", () -> Natives.getProcessPathByPid(endedPid));
    report("getProcessOwner ended", () -> Natives.getProcessOwner(endedPid));
    report("getOtherProcessCpuTimeNs ended", () -> Natives.getOtherProcessCpuTimeNs(endedPid));

    byte[] sixteen = new byte[16];
    for (int i = 0; i < 16; i++) sixteen[i] = (byte) (i + 1);
    sixteen[15] = (byte) 0x80;
    Files.write(directory.resolve("sixteen.bin"), sixteen);
    Files.write(directory.resolve("eight.bin"), Arrays.copyOf(sixteen, 8));
    Files.write(directory.resolve("empty.bin"), new byte[0]);
    String[][] reads = {{"sixteen.bin", "2"}, {"eight.bin", "2"}, {"empty.bin", "0"}, {"sixteen.bin", "1"},
        {"missing.bin", "1"}};
    for (String[] read : reads) {
      long[] values = new long[Integer.parseInt(read[1])];
      Arrays.fill(values, -1);
      String path = directory.resolve(read[0]).toString();
      report("readLongArrayFromFile " + read[0] + " " + read[1], () -> {
        try {
          Natives.readLongArrayFromFile(path, values);
        } catch (RuntimeException e) {
          return Arrays.toString(values) + " " + e.getMessage().replace(directory.toString(), "DIR");
        }
        return Arrays.toString(values);
      });
    }
    report("readLongArrayFromFile null array",
        () -> { Natives.readLongArrayFromFile(directory.resolve("eight.bin").toString(), null); return "read"; });
    report("readLongArrayFromFile null path", () -> { Natives.readLongArrayFromFile(null, new long[1]); return "read"; });
  }

  static void markers(int pid, int port) {
    report("fillMarked", () -> {
      int[] marked = Natives.fillMarked(1);
      for (int i = 0; i + 2 < marked.length; i += 3) {
        if (marked[i] == pid) return marked[i + 1] + " " + marked[i + 2];
      }
      return "not listed";
    });
    report("fillMarked other type", () -> {
      int[] marked = Natives.fillMarked(4);
      for (int i = 0; i < marked.length; i += 3) {
        if (marked[i] == pid) return "listed";
      }
      return "not listed";
    });
    report("getSessionNameFromMarker", () -> Natives.getSessionNameFromMarker(pid));
    report("getSessionNameByCommandLine", () -> Natives.getSessionNameByCommandLine(pid));
    report("getFreePort taken", () -> Natives.getFreePort(port, port));
    report("getFreePort next", () -> Natives.getFreePort(port, port + 1));
    report("getFreePort empty range", () -> Natives.getFreePort(port + 1, port));
  }

  // The class transformer run on this class's own bytes.
  static void retransform() throws Exception {
    byte[] bytes;
    try (java.io.InputStream in = ProcessCalls.class.getResourceAsStream("/ProcessCalls.class")) {
      bytes = in.readAllBytes();
    }
    report("retransformClass", () -> {
      byte[] edited = Natives.retransformClass("ProcessCalls", bytes);
      return edited == null ? "unchanged" : String.format("%02x%02x%02x%02x", edited[0], edited[1], edited[2], edited[3]);
    });
    report("retransformClass null bytes", () -> Natives.retransformClass("ProcessCalls", null));
  }

  public static void main(String[] args) throws Exception {
    arguments = args;
    System.load(args[0]);
    switch (args[1]) {
      case "self":
        self();
        break;
      case "children":
        children(Paths.get(args[2]));
        break;
      case "retransform":
        retransform();
        break;
      case "markers":
        markers(Integer.parseInt(args[2]), Integer.parseInt(args[3]));
        break;
      default:
        throw new IllegalArgumentException(args[1]);
    }
  }
}
