import java.io.BufferedWriter;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * Defines and links every class of a class corpus in one JVM, so that the verifier (run with
 * -Xverify:all) judges each class. Run once over an original corpus and once over a rewritten copy, it
 * tells which classes the rewriting broke: each run starts from the same JVM state and takes the classes
 * in the same order.
 *
 * <p>Arguments: the corpus, which holds "module/package/path/Name.class" files, and the report to write.
 * Module descriptors are not classes and are left out.
 *
 * <p>Each package gets a fresh class loader that defines the package's classes from the corpus and leaves
 * every other class to the application class loader, so package-private super classes and same-package
 * references resolve to the corpus's classes. A class is defined by loading it, and linked (which verifies
 * it) by asking for its declared methods; it is never initialised. Packages named java.* cannot be defined
 * by such a loader and are not tried. The loaders stay reachable to the end: the loader constraints they
 * take part in would otherwise vanish whenever a collection unloads them, and the outcomes would depend
 * on the collector's timing.
 *
 * <p>The report has a line per class: its path, tab, the outcome: "ok", "not definable", or the name of the
 * error or exception thrown, a colon and the first line of its message.
 */
public final class VerifyCorpus {
  public static void main(String[] args) throws IOException {
    Path corpus = Paths.get(args[0]);
    Map<String, List<String>> packages = new TreeMap<>();
    List<ClassLoader> loaders = new ArrayList<>();
    try (Stream<Path> files = Files.walk(corpus)) {
      List<Path> classFiles = files.filter(p -> p.toString().endsWith(".class"))
          .filter(p -> !p.getFileName().toString().equals("module-info.class")).collect(Collectors.toList());
      for (Path file : classFiles) {
        String relative = corpus.relativize(file).toString().replace('\\', '/');
        int slash = relative.lastIndexOf('/');
        packages.computeIfAbsent(relative.substring(0, Math.max(slash, 0)), k -> new ArrayList<>()).add(relative);
      }
    }
    try (BufferedWriter report = Files.newBufferedWriter(Paths.get(args[1]), StandardCharsets.UTF_8)) {
      for (List<String> classes : packages.values()) {
        classes.sort(null);
        List<String> outcomes = outcomes(corpus, classes, loaders);
        for (int i = 0; i < classes.size(); i++) {
          report.write(classes.get(i) + "\t" + outcomes.get(i));
          report.newLine();
        }
      }
    }
  }

  /** The outcome for each class of one package, all defined by one loader over `corpus`. */
  private static List<String> outcomes(Path corpus, List<String> classes, List<ClassLoader> loaders) {
    List<String> outcomes = new ArrayList<>();
    String first = classes.get(0);
    int moduleEnd = first.indexOf('/');
    Path moduleRoot = corpus.resolve(first.substring(0, moduleEnd));
    String packageName = packageOf(binaryName(first.substring(moduleEnd + 1)));
    PackageLoader loader = new PackageLoader(moduleRoot, packageName);
    loaders.add(loader);
    for (String relative : classes) {
      String name = binaryName(relative.substring(moduleEnd + 1));
      if (packageName.equals("java") || packageName.startsWith("java.")) {
        outcomes.add("not definable");
        continue;
      }
      try {
        Class.forName(name, false, loader).getDeclaredMethods();
        outcomes.add("ok");
      } catch (Throwable t) {
        String message = String.valueOf(t.getMessage());
        int end = message.indexOf('\n');
        outcomes.add(t.getClass().getName() + ": " + (end < 0 ? message : message.substring(0, end)));
      }
    }
    return outcomes;
  }

  private static String binaryName(String path) {
    return path.substring(0, path.length() - ".class".length()).replace('/', '.');
  }

  private static String packageOf(String name) {
    int dot = name.lastIndexOf('.');
    return dot < 0 ? "" : name.substring(0, dot);
  }

  /** Defines the classes of one package from one module's directory; all others come from its parent. */
  private static final class PackageLoader extends ClassLoader {
    private final Path moduleRoot;
    private final String packageName;

    PackageLoader(Path moduleRoot, String packageName) {
      super("verify", ClassLoader.getSystemClassLoader());
      this.moduleRoot = moduleRoot;
      this.packageName = packageName;
    }

    @Override
    protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
      synchronized (getClassLoadingLock(name)) {
        Class<?> loaded = findLoadedClass(name);
        if (loaded == null) {
          Path file = moduleRoot.resolve(name.replace('.', '/') + ".class");
          if (!packageOf(name).equals(packageName) || !Files.isRegularFile(file)) return super.loadClass(name, resolve);
          byte[] bytes;
          try {
            bytes = Files.readAllBytes(file);
          } catch (IOException e) {
            throw new ClassNotFoundException(name, e);
          }
          loaded = defineClass(name, bytes, 0, bytes.length);
        }
        if (resolve) resolveClass(loaded);
        return loaded;
      }
    }
  }
}
