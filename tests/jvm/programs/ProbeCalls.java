import java.io.File;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.ProtectionDomain;
import java.util.Arrays;

// Registers, unregisters and switches probes through the agent's natives as its Java side does, and
// prints what each call answers and what the probed methods print.
public class ProbeCalls {
  static String probes;

  static Object call(String name, Class<?>[] parameters, Object... arguments) throws Exception {
    Method method = Class.forName("com.brantel.runtime.Callback").getMethod(name, parameters);
    try {
      return method.invoke(null, arguments);
    } catch (InvocationTargetException e) {
      return e.getCause().toString();
    }
  }

  static Object byName(String... names) throws Exception {
    return call("registerProbesByName", new Class<?>[] {String[].class}, (Object) names);
  }

  static void unregister(String... names) throws Exception {
    call("unregisterProbes", new Class<?>[] {String[].class}, (Object) names);
  }

  // The class files of the probes' directory; null stays null, ending a group.
  static Object byBytecode(boolean define, boolean noRetransform, String... classes) throws Exception {
    byte[][] bytes = new byte[classes.length][];
    for (int i = 0; i < classes.length; i++) {
      if (classes[i] != null) {
        bytes[i] = Files.readAllBytes(Paths.get(probes, "dynamic", classes[i] + ".class"));
      }
    }
    return call("registerProbesByBytecode", new Class<?>[] {byte[][].class, boolean.class, boolean.class}, bytes,
        define, noRetransform);
  }

  static Object modes(String[] names, int[] modes) throws Exception {
    return call("setProbeActivityModes", new Class<?>[] {String[].class, int[].class}, names, modes);
  }

  static String probesIn(int mode) throws Exception {
    Object answer = call("getProbes", new Class<?>[] {int.class}, mode);
    return answer instanceof String[] ? Arrays.toString((String[]) answer) : String.valueOf(answer);
  }

  static Object isOn(String name) throws Exception {
    return call("isProbeOn", new Class<?>[] {String.class}, name);
  }

  static boolean inBootLoader(String name) {
    try {
      return Class.forName(name, false, null) != null;
    } catch (ClassNotFoundException e) {
      return false;
    }
  }

  static void print(String label, Object value) {
    System.out.println(label + ": " + value);
  }

  // Probes registered and unregistered by name and by bytecode while their target is loaded, and
  // activity modes changed.
  static void registration() throws Exception {
    ProbeTarget.work("a");
    print("byName", byName("dynamic.TargetProbe"));
    ProbeTarget.work("b");
    unregister("dynamic.TargetProbe");
    print("on after unregister", isOn("dynamic.TargetProbe"));
    ProbeTarget.work("c");
    ProbeTarget.byBytecode();
    print("byBytecode", byBytecode(true, false, "BytecodeProbe", null));
    ProbeTarget.byBytecode();
    ProbeTarget.other();
    print("other", byName("dynamic.OtherProbe", "dynamic.TargetProbe"));
    ProbeTarget.other();
    ProbeTarget.work("d");
    print("switch", modes(new String[] {"dynamic.TargetProbe", "dynamic.OtherProbe"}, new int[] {1, 0}));
    print("unchanged", modes(new String[] {"dynamic.TargetProbe", "no.such.Probe"}, new int[] {1, 2}));
    new ShapeSquare().describe();
    new ShapeLoose().describe();
    print("instances", byName("dynamic.InstanceProbe"));
    new ShapeSquare().describe();
    new ShapeLoose().describe();
  }

  // Another agent's transformer spoils RefusedTarget's class file, so that the JVM refuses to
  // retransform it; once it stops, the next registration applies the probe that was not applied.
  static void refused() throws Exception {
    RefusedTarget.run();
    Instrumentation instrumentation =
        (Instrumentation) Class.forName("RoadAgent").getField("instrumentation").get(null);
    ClassFileTransformer spoiler = new ClassFileTransformer() {
      @Override
      public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
          byte[] bytes) {
        return "RefusedTarget".equals(name) ? new byte[] {(byte) 0xca, (byte) 0xfe, 0, 1} : null;
      }
    };
    instrumentation.addTransformer(spoiler, true);
    print("refused", byName("dynamic.RefusedProbe"));
    RefusedTarget.run();
    instrumentation.removeTransformer(spoiler);
    print("again", byName("dynamic.OtherProbe"));
    RefusedTarget.run();
  }

  // The natives' answers and refusals, one after the other.
  static void natives() throws Exception {
    print("no names", byName());
    print("no probes", byBytecode(true, false, "NoProbeSupport", null));
    print("support defined", inBootLoader("dynamic.NoProbeSupport"));
    print("unchecked tail", byBytecode(true, false, "BytecodeProbe", null, "NoProbeSupport"));
    print("probe defined", inBootLoader("dynamic.BytecodeProbe"));
    print("duplicate", byBytecode(false, true, "BytecodeProbe", null));
    print("define", byBytecode(true, false, "DefineFirst", null, "DefineSecond", null, "DefineThird", null));
    print("first defined", inBootLoader("dynamic.DefineFirst"));
    print("third defined", inBootLoader("dynamic.DefineThird"));
    print("on", probesIn(1));
    print("mode -1", probesIn(-1));
    print("on with slashes", isOn("dynamic/BytecodeProbe"));
    print("unknown on", isOn("no/such/Probe"));
    print("off", modes(new String[] {"dynamic.BytecodeProbe"}, new int[] {0}));
    print("mode 3", modes(new String[] {"dynamic.BytecodeProbe", "no.such.Probe"}, new int[] {1, 3}));
    print("still off", probesIn(0));
    print("no modes", modes(new String[0], new int[0]));
    print("auto", modes(new String[] {"dynamic.BytecodeProbe"}, new int[] {2}));
    print("auto probes", probesIn(2));
    print("auto on", isOn("dynamic.BytecodeProbe"));

    String description = "Probe rows\n1\nuptime_ns\n1\n";
    Class<?>[] tableParameters = {String.class, String.class};
    int id = (Integer) call("createEventTable", tableParameters, "dynamic.BytecodeProbe", description);
    print("table id in range", id >= 32 && id <= 127);
    Class<?>[] idParameter = {int.class};
    print("description", description.equals(call("getEventTableDescription", idParameter, id)));
    print("description 31", call("getEventTableDescription", idParameter, 31));
    print("description 128", call("getEventTableDescription", idParameter, 128));
    call("createEventTable", tableParameters, "dynamic.TableOwner", "Owned rows\n1\nuptime_ns\n1\n");
    print("on with table", probesIn(1));

    Class<?>[] startParameters = {long.class, String.class};
    Class<?>[] stopParameters = {boolean.class};
    print("sampling", call("startCpuProfiling", startParameters, 4L, null));
    print("auto on while sampling", isOn("dynamic.BytecodeProbe"));
    call("stopCpuProfiling", stopParameters, false);
    print("call counting", call("startCpuProfiling", startParameters, 0x1004L, null));
    print("auto on while counting", isOn("dynamic.BytecodeProbe"));
    call("stopCpuProfiling", stopParameters, false);

    Class<?>[] patternParameter = {String.class};
    print("null pattern", call("validateMethodPattern", patternParameter, (Object) null));
    print("valid pattern", call("validateMethodPattern", patternParameter, "a.B:c(int)"));
    print("invalid pattern", call("validateMethodPattern", patternParameter, "a.B"));
    unregister("no.such.Probe");
  }

  // A probe unregistered while its class is loaded, and registered again after its mode, or CPU
  // recording, changed: its callbacks follow the mode it has now.
  static void reregistration() throws Exception {
    String[] target = {"dynamic.TargetProbe"};
    Class<?>[] startParameters = {long.class, String.class};
    Class<?>[] stopParameters = {boolean.class};
    print("on", byName(target));
    ProbeTarget.work("on");
    modes(target, new int[] {0});
    ProbeTarget.work("off");
    unregister(target);
    modes(target, new int[] {1});
    print("on again", byName(target));
    ProbeTarget.work("again");
    modes(target, new int[] {2});
    ProbeTarget.work("auto");
    unregister(target);
    call("startCpuProfiling", startParameters, 4L, null);
    print("auto while sampling", byName(target));
    ProbeTarget.work("sampling");
    unregister(target);
    call("stopCpuProfiling", stopParameters, false);
    print("auto without sampling", byName(target));
    ProbeTarget.work("quiet");
  }

  // A directory, which a running JVM refuses on its class path, and then an archive as the probe path.
  static void probePath(String directory, String archive) throws Exception {
    Class<?>[] pathParameter = {String.class};
    call("addProbePath", pathParameter, directory);
    print("from directory", byName("dynamic.TargetProbe"));
    ProbeTarget.work("a");
    call("addProbePath", pathParameter, archive);
    print("from archive", byName("dynamic.TargetProbe"));
    ProbeTarget.work("b");
  }

  // Waits for the agent to attach, whose start-up probe then applies to the class loaded before.
  static void attached(String go) throws Exception {
    ProbeTarget.work("before");
    System.out.println("waiting");
    while (!new File(go).exists()) {
      Thread.sleep(20);
    }
    ProbeTarget.work("after");
  }

  public static void main(String[] args) throws Exception {
    probes = args.length > 1 ? args[1] : null;
    switch (args[0]) {
      case "registration":
        registration();
        break;
      case "refused":
        refused();
        break;
      case "natives":
        natives();
        break;
      case "reregistration":
        reregistration();
        break;
      case "probePath":
        probePath(args[1], args[2]);
        break;
      case "attached":
        attached(args[1]);
        break;
      default:
        throw new IllegalArgumentException(args[0]);
    }
  }
}
