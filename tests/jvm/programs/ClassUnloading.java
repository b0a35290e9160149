import java.io.InputStream;
import java.lang.ref.WeakReference;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;

// A class loaded by a class loader of its own and unloaded again: the loader is dropped and the heap
// collected until the class is gone. Argument: an empty directory to load the class from.
public class ClassUnloading {
  public static class Unloaded {
    public static String greet() {
      return "loaded apart";
    }
  }

  static final String NAME = "ClassUnloading$Unloaded";

  public static void main(String[] args) throws Exception {
    Path directory = Paths.get(args[0]);
    // Only the copy is ever loaded: this program's own loader never sees the class.
    try (InputStream in = ClassUnloading.class.getResourceAsStream(NAME + ".class")) {
      Files.copy(in, directory.resolve(NAME + ".class"));
    }
    WeakReference<Class<?>> loaded = loadApart(directory);
    for (int i = 0; i < 200 && loaded.get() != null; i++) {
      System.gc();
      Thread.sleep(10);
    }
    System.out.println(loaded.get() == null ? "unloaded" : "still loaded");
    // The JVM reports freed tags after the collection, from a thread of its own.
    Thread.sleep(200);
    System.gc();
    Thread.sleep(200);
  }

  static WeakReference<Class<?>> loadApart(Path directory) throws Exception {
    try (URLClassLoader loader =
             new URLClassLoader(new URL[] {directory.toUri().toURL()}, ClassLoader.getPlatformClassLoader())) {
      Class<?> apart = loader.loadClass(NAME);
      // Running a method links the class, which the JVM reports as prepared.
      System.out.println(apart.getMethod("greet").invoke(null));
      return new WeakReference<>(apart);
    }
  }
}
