import java.lang.reflect.Field;

// Prints the values that the agent handed to the Java side's Core.init, one "Core.<name>=<value>" line
// each.
public class CoreValues {
  private static final String[] NAMES = {"portFirst", "portLast", "listenHost", "sessionName", "snapshotNameFormat",
      "snapshotDir", "profilerDir", "idePort", "sessionId", "jbossInitArgument", "telemetryPointLimit",
      "oomeDumperEnabled", "triggerText"};

  public static void main(String[] args) throws Exception {
    Class<?> core = Class.forName("com.brantel.runtime.Core");
    for (String name : NAMES) {
      Field field = core.getDeclaredField(name);
      field.setAccessible(true);
      System.out.println("Core." + name + "=" + field.get(null));
    }
  }
}
