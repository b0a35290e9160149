// A parked stack through a lambda: main runs the lambda, whose body calls Spinner.run.
public final class LambdaSpinEntry {
  // The lambda object, for the test to ask the JVM for its class's name.
  public static Runnable task;

  private LambdaSpinEntry() {}

  public static void main(String[] args) {
    task = () -> Spinner.run();  // line: lambda-calls-run
    task.run();  // line: main-calls-lambda
  }
}
