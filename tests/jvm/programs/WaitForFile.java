import java.nio.file.Files;
import java.nio.file.Paths;

// Runs until the file named by its argument appears, so that a test can attach to it meanwhile.
public class WaitForFile {
  public static void main(String[] args) throws Exception {
    System.out.println("waiting");
    System.out.flush();
    while (!Files.exists(Paths.get(args[0]))) {
      Thread.sleep(50);
    }
    System.out.println("done");
  }
}
