import java.io.Serializable;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.lang.reflect.Proxy;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

// Method-listener probe classes built by the agent's native patchTemplateClass: each is defined in a
// class loader of its own and its callbacks are called directly, as woven code would call them; the lines
// show what the listener registry received. Also asks the agent's ClassTree about a small hierarchy.
// Arguments: "builtin <file for the bytes of the first patched class>", or "agentcp <the template file
// under _agent_cp>" (which the run empties and then deletes).
public class ListenerTemplate {
  static final String TEMPLATE = "com/brantel/probes/triggers/MethodListenerProbe";

  // The class whose call the callbacks report.
  static final class Target {}

  interface Marker {}

  interface Tagged extends Marker {}

  static class Base implements Tagged, Serializable {
    private static final long serialVersionUID = 1L;
  }

  static final class Derived extends Base {
    private static final long serialVersionUID = 1L;
  }

  // Defines exactly one class.
  static final class OneClassLoader extends ClassLoader {
    OneClassLoader() {
      super(ListenerTemplate.class.getClassLoader());
    }

    Class<?> define(byte[] bytes) {
      return defineClass(null, bytes, 0, bytes.length);
    }
  }

  public static void main(String[] args) throws Exception {
    if (args[0].equals("builtin")) {
      builtin(Paths.get(args[1]));
      classTree();
    } else {
      agentClassPath(Paths.get(args[1]));
    }
  }

  static void builtin(Path patchedFile) throws Exception {
    byte[] patched = patch("%%METHOD_PATTERN%%", "ListenerTemplate$Target:run()", "%%LISTENER_ID%%", "A",
        TEMPLATE, TEMPLATE + "A");
    Files.write(patchedFile, patched);
    describe("patched", patched, "A");
    describe("empty", patch(), "%%LISTENER_ID%%");
    // A null value is the empty text; the odd last element is no macro.
    describe("odd", patch("%%LISTENER_ID%%", null, "%%METHOD_PATTERN%%"), "");
    try {
      patch((String[]) null);
    } catch (RuntimeException e) {
      System.out.println("null: " + e);
    }
  }

  static void agentClassPath(Path template) throws Exception {
    describe("agent_cp", patch("%%LISTENER_ID%%", "C"), "alternate:C");
    Files.write(template, new byte[0]);
    try {
      patch("%%LISTENER_ID%%", "C");
    } catch (RuntimeException e) {
      System.out.println("empty file: " + e);
    }
    Files.delete(template);
    try {
      patch("%%LISTENER_ID%%", "C");
    } catch (RuntimeException e) {
      System.out.println("missing file: " + e);
    }
  }

  static byte[] patch(String... pairs) throws Exception {
    Method patch =
        Class.forName("com.brantel.runtime.Callback").getMethod("patchTemplateClass", String[].class);
    try {
      return (byte[]) patch.invoke(null, (Object) pairs);
    } catch (InvocationTargetException e) {
      throw e.getCause() instanceof RuntimeException ? (RuntimeException) e.getCause() : e;
    }
  }

  // Defines the class, prints its name, its methods and the macro texts its bytes still hold, then calls
  // its callbacks with a listener registered under `listenerId` and prints what that listener heard.
  static void describe(String label, byte[] bytes, String listenerId) throws Exception {
    Class<?> probe = new OneClassLoader().define(bytes);
    System.out.println(label + ": " + probe.getName());
    List<String> methods = new ArrayList<>();
    for (Method method : probe.getDeclaredMethods()) {
      methods.add(Modifier.toString(method.getModifiers()) + " " + method.getName());
    }
    methods.sort(null);
    System.out.println(label + " methods: " + methods);
    String text = new String(bytes, StandardCharsets.ISO_8859_1);
    System.out.println(label + " texts: " + text.contains("%%METHOD_PATTERN%%") + " "
        + text.contains("%%LISTENER_ID%%") + " " + text.contains("$$"));

    List<String> heard = new ArrayList<>();
    Class<?> listenerType = Class.forName("com.brantel.probes.triggers.MethodListener");
    Object listener = Proxy.newProxyInstance(ListenerTemplate.class.getClassLoader(),
        new Class<?>[] {listenerType}, (proxy, method, arguments) -> {
          StringBuilder line = new StringBuilder(method.getName());
          for (Object argument : arguments) {
            line.append(' ').append(argument instanceof Class ? ((Class<?>) argument).getName() : argument);
          }
          heard.add(line.toString());
          return null;
        });
    Class<?> listeners = Class.forName("com.brantel.probes.triggers.MethodListeners");
    listeners.getMethod("register", String.class, listenerType).invoke(null, listenerId, listener);
    probe.getMethod("onEnter", Class.class, String.class, String.class)
        .invoke(null, Target.class, "run", "()V");
    probe.getMethod("onExit", Class.class, String.class, String.class, long.class, Throwable.class)
        .invoke(null, Target.class, "run", "()V", 7L, new IllegalStateException("thrown"));
    listeners.getMethod("unregister", String.class).invoke(null, listenerId);
    System.out.println(label + " heard: " + heard);
  }

  static void classTree() throws Exception {
    Class<?> treeType = Class.forName("com.brantel.runtime.ClassTree");
    Object tree = treeType.getConstructor().newInstance();
    Method addClass = treeType.getMethod("addClass", Class.class);
    for (Class<?> loaded : new Class<?>[] {Object.class, Serializable.class, Runnable.class, Marker.class,
        Tagged.class, Base.class, Derived.class}) {
      addClass.invoke(tree, loaded);
    }
    Method isInstanceOf = treeType.getMethod("isInstanceOf", Class.class, String.class);
    Object[][] questions = {
        {Derived.class, "ListenerTemplate$Derived"}, {Derived.class, "ListenerTemplate$Base"},
        {Derived.class, "ListenerTemplate$Marker"}, {Derived.class, "java/io/Serializable"},
        {Derived.class, "java.io.Serializable"}, {Derived.class, "java.lang.Object"},
        {Derived.class, "java.lang.Runnable"}, {Derived.class, "java.lang.String"},
        {Base.class, "ListenerTemplate$Derived"}, {Tagged.class, "ListenerTemplate$Marker"}};
    for (Object[] question : questions) {
      System.out.println("classTree " + ((Class<?>) question[0]).getName() + " " + question[1] + " "
          + isInstanceOf.invoke(tree, question));
    }
  }
}
