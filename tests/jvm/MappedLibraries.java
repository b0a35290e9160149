import java.nio.file.Files;
import java.nio.file.Paths;

/** Prints the shared libraries of this JVM's process whose path contains the given text, one per line. */
public class MappedLibraries {
    public static void main(String[] args) throws Exception {
        Files.readAllLines(Paths.get("/proc/self/maps")).stream()
            .map(line -> line.replaceFirst("^(\\S+\\s+){5}", "").trim())
            .filter(path -> path.contains(args[0]))
            .distinct()
            .forEach(System.out::println);
    }
}
