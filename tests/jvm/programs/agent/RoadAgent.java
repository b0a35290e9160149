import java.lang.instrument.Instrumentation;

// A java.lang.instrument agent that only keeps its Instrumentation, with which the program ClassRoad
// retransforms and redefines classes whose natives the profiling agent wrapped.
public final class RoadAgent {
  public static volatile Instrumentation instrumentation;

  private RoadAgent() {}

  public static void premain(String arguments, Instrumentation given) {
    instrumentation = given;
  }
}
