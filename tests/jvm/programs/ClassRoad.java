import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.StringJoiner;
import java.util.zip.Adler32;

// What the agent made of native methods, seen from inside the JVM: which methods of the named classes
// are native, and whether the JDK natives it wraps and a native of the program's own still behave.
// Arguments: "plain" or "redefine" (run with -javaagent of the road agent jar: first retransform
// java.lang.Thread, Unbound and Unlinked, then redefine Unbound from its class file), then "Class#method" names.
public class ClassRoad {
  static final String MARKER = "$$BZP$$";

  // A native method that no library implements.
  static final class Unbound {
    static native int compute(int x);
  }

  // The same, in a class that is loaded but never linked: it cannot list its methods to JVMTI.
  static final class Unlinked {
    static native int compute(int x);
  }

  public static void main(String[] args) throws Exception {
    if (args[0].equals("redefine")) {
      redefine();
    }
    List<String> classes = new ArrayList<>();
    for (int i = 1; i < args.length; i++) {
      String className = args[i].substring(0, args[i].indexOf('#'));
      describe(Class.forName(className), args[i].substring(className.length() + 1));
      if (!classes.contains(className)) {
        classes.add(className);
      }
    }
    for (String className : classes) {
      int wrapped = 0;
      for (Method method : Class.forName(className).getDeclaredMethods()) {
        if (method.getName().startsWith(MARKER)) {
          wrapped++;
        }
      }
      System.out.println(className + " wrapped: " + wrapped);
    }
    exercise();
  }

  // One line per declared method of that name: "Class#name(parameter types) native" or "... java";
  // "Class#name absent" when there is none.
  static void describe(Class<?> type, String name) {
    List<String> lines = new ArrayList<>();
    for (Method method : type.getDeclaredMethods()) {
      if (!method.getName().equals(name)) {
        continue;
      }
      StringJoiner parameters = new StringJoiner(",", "(", ")");
      for (Class<?> parameter : method.getParameterTypes()) {
        parameters.add(parameter.getTypeName());
      }
      String kind = Modifier.isNative(method.getModifiers()) ? " native" : " java";
      lines.add(type.getName() + "#" + name + parameters + kind);
    }
    if (lines.isEmpty()) {
      lines.add(type.getName() + "#" + name + " absent");
    }
    Collections.sort(lines);
    for (String line : lines) {
      System.out.println(line);
    }
  }

  // Each native the agent may wrap, called the ways that matter: its result, its time, its exceptions.
  static void exercise() throws Exception {
    long start = System.nanoTime();
    Thread.sleep(50);
    System.out.println("slept ms: " + (System.nanoTime() - start) / 1_000_000);
    Thread.currentThread().interrupt();
    try {
      Thread.sleep(10_000);
      System.out.println("sleep not interrupted");
    } catch (InterruptedException expected) {
      System.out.println("sleep interrupted");
    }

    Object lock = new Object();
    synchronized (lock) {
      start = System.nanoTime();
      lock.wait(30);
      System.out.println("waited ms: " + (System.nanoTime() - start) / 1_000_000);
    }
    try {
      lock.wait(1);
    } catch (IllegalMonitorStateException expected) {
      System.out.println("wait without the monitor: " + expected.getClass().getName());
    }

    int[] from = {1, 2, 3, 4, 5};
    int[] to = new int[3];
    System.arraycopy(from, 1, to, 0, 3);
    System.out.println("arraycopy: " + Arrays.toString(to));
    try {
      System.arraycopy(from, 4, to, 0, 3);
    } catch (ArrayIndexOutOfBoundsException expected) {
      System.out.println("arraycopy out of bounds: " + expected.getClass().getName());
    }
    byte[] text = "class road".getBytes(java.nio.charset.StandardCharsets.US_ASCII);
    Adler32 perByte = new Adler32();
    for (byte b : text) {
      perByte.update(b);
    }
    Adler32 whole = new Adler32();
    whole.update(text);
    System.out.println("adler32: " + perByte.getValue() + " " + whole.getValue());
    long clock = java.time.Instant.now().toEpochMilli();
    System.out.println("currentTimeMillis near the clock: " + (Math.abs(System.currentTimeMillis() - clock) < 60_000));

    try {
      Unbound.compute(3);
      System.out.println("Unbound.compute returned");
    } catch (UnsatisfiedLinkError expected) {
      System.out.println("UnsatisfiedLinkError: " + expected.getMessage());
      for (StackTraceElement frame : expected.getStackTrace()) {
        System.out.println("  at " + frame.getClassName() + "." + frame.getMethodName());
      }
    }
  }

  // Retransforms java.lang.Thread, Unbound and Unlinked (a watching transformer shows that the JVM ran
  // the retransformation), then redefines Unbound from its class file as javac wrote it.
  static void redefine() throws Exception {
    Instrumentation instrumentation =
        (Instrumentation) Class.forName("RoadAgent").getField("instrumentation").get(null);
    // Both in use, as classes are that someone redefines: their natives bound, or tried.
    Thread.sleep(1);
    try {
      Unbound.compute(0);
    } catch (UnsatisfiedLinkError expected) {
      // the class is linked all the same
    }
    List<String> seen = Collections.synchronizedList(new ArrayList<>());
    ClassFileTransformer watcher = new ClassFileTransformer() {
      @Override
      public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain domain,
                              byte[] bytes) {
        if (redefined != null) {
          seen.add(name);
        }
        return null;
      }
    };
    instrumentation.addTransformer(watcher, true);
    instrumentation.retransformClasses(Thread.class, Unbound.class, Unlinked.class);
    instrumentation.removeTransformer(watcher);
    System.out.println("retransformed: " + seen);
    byte[] original;
    try (java.io.InputStream in = ClassRoad.class.getResourceAsStream("ClassRoad$Unbound.class")) {
      original = in.readAllBytes();
    }
    instrumentation.redefineClasses(new ClassDefinition(Unbound.class, original));
    System.out.println("redefined: " + Unbound.class.getName());
  }
}
