import java.lang.reflect.Method;

// Runs under the agent and publishes its marker: MarkerHolder PORT TYPE. Prints "ready" once published,
// then stays until it is killed.
public final class MarkerHolder {
  public static void main(String[] args) throws Exception {
    Class<?> callback = Class.forName("com.brantel.runtime.Callback");
    Method createMarker = callback.getMethod("createMarker", int.class, int.class);
    createMarker.invoke(null, Integer.parseInt(args[0]), Integer.parseInt(args[1]));
    System.out.println("ready");
    System.out.flush();
    Thread.sleep(120_000);
  }
}
