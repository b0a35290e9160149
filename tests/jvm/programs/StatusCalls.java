import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

// Asks the agent for host facts by key and polls its status natives, printing one "<label>=<answer>"
// line per call, with "<label>.java=<value>" where Java knows what the answer must be. Each argument
// names a group of calls: "dispatch", "propagation", "status", "gc".
public class StatusCalls {
  static void print(String label, Object value) {
    System.out.println(label + "=" + value);
  }

  // The answer as text: a String[] joined by "|" in brackets, a thrown exception as "exception: " and
  // its message.
  static String call(Method method, Object... arguments) {
    try {
      Object result = method.invoke(null, arguments);
      return result instanceof String[] ? "[" + String.join("|", (String[]) result) + "]" : String.valueOf(result);
    } catch (InvocationTargetException e) {
      return "exception: " + e.getCause().getMessage();
    } catch (IllegalAccessException e) {
      throw new IllegalStateException(e);
    }
  }

  static Method dispatchLong() throws Exception {
    return AgentCalls.callback("dispatchLong", String.class);
  }

  static Method dispatchNullable() throws Exception {
    return AgentCalls.callback("dispatchNullable", String.class, String[].class);
  }

  static String nullable(String key, String... arguments) throws Exception {
    return call(dispatchNullable(), key, arguments);
  }

  static void dispatch() throws Exception {
    for (String key : new String[] {"d_getPid", "_socket_timeout_ms", "_tele_sample_threshold_ms", "_no_http",
        "_no_gc_pause_counter", "d_get_platform", "D_GETPID"}) {
      print("long " + key, call(dispatchLong(), key));
    }
    print("long null", call(dispatchLong(), (Object) null));
    print("d_getPid.java", ProcessHandle.current().pid());

    print("d_get_platform", nullable("d_get_platform"));
    print("D_GET_PLATFORM", nullable("D_GET_PLATFORM"));
    print("null key", call(dispatchNullable(), null, null));
    print("d_command_line", nullable("d_command_line"));
    String[] proc = new String(Files.readAllBytes(Paths.get("/proc/self/cmdline")), StandardCharsets.UTF_8).split("\0");
    print("d_command_line.java", "[" + String.join("|", proc) + "]");
    print("d_process_owner", nullable("d_process_owner"));
    print("d_process_owner.java", System.getProperty("user.name"));
    print("d_workingDirectory", nullable("d_workingDirectory"));
    print("d_workingDirectory.java", System.getProperty("user.dir"));
    print("d_getHostName", nullable("d_getHostName"));
    print("d_getLogFilePath", nullable("d_getLogFilePath"));
    String environment = nullable("d_getEnvironmentAsString");
    print("environment has PATH", ("\n" + environment + "\n").contains("\nPATH=" + System.getenv("PATH") + "\n"));
    print("d_clear_charts", nullable("d_clear_charts"));
    print("d_potential_deadlock_test", nullable("d_potential_deadlock_test"));

    print("d_get_env none", nullable("d_get_env"));
    print("d_get_env null array", call(dispatchNullable(), "d_get_env", null));
    print("d_get_env two", nullable("d_get_env", "A", "B"));
    print("d_get_env empty key", nullable("d_get_env", ""));
    print("d_set_env one", nullable("d_set_env", "TS_STATUS_CALLS"));
    print("d_set_env empty key", nullable("d_set_env", "", "x"));
    print("d_get_env unset", nullable("d_get_env", "TS_STATUS_CALLS"));
    print("d_set_env", nullable("d_set_env", "TS_STATUS_CALLS", "value 1"));
    print("d_get_env set", nullable("d_get_env", "TS_STATUS_CALLS"));
    print("d_get_env PATH", nullable("d_get_env", "PATH").equals(System.getenv("PATH")));
  }

  // The agent's hand-over to child JVMs, through the variables as the agent itself sees them.
  static void propagation() throws Exception {
    print("d_ts_env_keys_and_values", nullable("d_ts_env_keys_and_values"));
    print("d_setJavaToolOptionsWithoutAgent", nullable("d_setJavaToolOptionsWithoutAgent"));
    print("tool options without", nullable("d_get_env", "JAVA_TOOL_OPTIONS"));
    print("d_setJavaToolOptionsWithAgent", nullable("d_setJavaToolOptionsWithAgent"));
    print("tool options with", nullable("d_get_env", "JAVA_TOOL_OPTIONS"));
  }

  static long number(String name) throws Exception {
    return (Long) AgentCalls.callback(name).invoke(null);
  }

  // Burns 50 ms of this thread's CPU time, however busy the machine is.
  static long spin() {
    ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    long sum = 0;
    for (long end = threads.getCurrentThreadCpuTime() + 50_000_000L; threads.getCurrentThreadCpuTime() < end; ) {
      sum += sum * 31 + 7;
    }
    return sum;
  }

  static void status() throws Exception {
    long cpuBefore = number("getProcessCpuTimeNs");
    long systemBefore = number("getSystemCpuTimeNs");
    long uptimeBefore = number("getUptimeMs");
    long tracingBefore = number("getTimeNsForTracing");
    if (spin() == 42) {
      System.out.println();
    }
    Thread.sleep(30);
    long cpuAfter = number("getProcessCpuTimeNs");
    print("process cpu grows", cpuBefore > 0 && cpuAfter - cpuBefore >= 50_000_000L);
    print("system cpu grows", systemBefore > 0 && number("getSystemCpuTimeNs") > systemBefore);
    print("uptime grows", number("getUptimeMs") - uptimeBefore >= 80);
    print("tracing clock grows", number("getTimeNsForTracing") - tracingBefore >= 80_000_000L);
    long[] split = (long[]) AgentCalls.callback("getProcessCpuTimeSplitNs").invoke(null);
    print("split", split.length == 2 && split[0] >= cpuAfter && split[1] >= 0 && split[1] <= split[0]);
    print("resident memory", number("getProcessPhysicalMemoryUsage") > 0);
    print("committed memory", number("getProcessMemoryUsage") > 0);
    print("phase", AgentCalls.callback("getPhase").invoke(null));
    print("skip main thread", AgentCalls.callback("shouldSkipThread").invoke(null));

    Method findLoadedClass = AgentCalls.callback("findLoadedClass", String.class);
    print("find Ljava/lang/Object;", findLoadedClass.invoke(null, "Ljava/lang/Object;") == Object.class);
    print("find Ljava/lang/String;", findLoadedClass.invoke(null, "Ljava/lang/String;") == String.class);
    print("find java.lang.Object", call(findLoadedClass, "java.lang.Object"));
    print("find Ljava/lang/Object", call(findLoadedClass, "Ljava/lang/Object"));
    print("find null", call(findLoadedClass, (Object) null));

    print("frozen", ((int[]) AgentCalls.callback("getFrozenThreadsImpl", long.class).invoke(null, 0L)).length);

    Method correct = AgentCalls.callback("correctUptimeMs", long.class);
    correct.invoke(null, number("getUptimeMs") + 600_000L);
    print("uptime after forward correction", number("getUptimeMs") >= 600_000L);
    long corrected = number("getUptimeMs");
    correct.invoke(null, 1L);
    print("backward correction ignored", number("getUptimeMs") >= corrected);

    Method processId = AgentCalls.callback("getProcessID", long.class);
    long pid = ProcessHandle.current().pid();
    print("getProcessID own", call(processId, pid).equals(String.valueOf(pid)));
    print("getProcessID 0", call(processId, 0L));
    Process ended = new ProcessBuilder("true").start();
    ended.waitFor();
    print("getProcessID ended", call(processId, ended.pid()));
    print("getProcessID negative", call(processId, -5L));

    AgentCalls.callback("onUncaughtException").invoke(null);
    AgentCalls.callback("messageToStdout", String.class).invoke(null, "status line to standard output");
    AgentCalls.callback("messageToStderr", String.class).invoke(null, "status line to standard error");
    AgentCalls.callback("messageToStdout", String.class).invoke(null, (Object) null);
    AgentCalls.callback("messageToLogFile", String.class).invoke(null, (Object) null);
    print("status done", true);
  }

  static void gc() throws Exception {
    print("forceGarbageCollectionJvmti", AgentCalls.callback("forceGarbageCollectionJvmti").invoke(null));
  }

  public static void main(String[] args) throws Exception {
    for (String group : args) {
      switch (group) {
        case "dispatch":
          dispatch();
          break;
        case "propagation":
          propagation();
          break;
        case "status":
          status();
          break;
        case "gc":
          gc();
          break;
        default:
          throw new IllegalArgumentException(group);
      }
    }
  }
}
