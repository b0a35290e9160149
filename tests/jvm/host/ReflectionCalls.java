import com.brantel.Natives;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;

// The reflection natives driven through either class that has them. Usage: ReflectionCalls natives
// LIBRARY (the host's com.brantel.Natives, after System.load), or ReflectionCalls callback under the
// agent (com.brantel.runtime.Callback, which has no setFieldPrimValue). Prints one line per observation:
// "<call>=<result>" or "<call> threw <class>: <message>".
public final class ReflectionCalls {
  // The natives of one class, with the same arguments in both.
  interface Reflector {
    long getFieldId(Class<?> type, String name, String signature, boolean isStatic) throws Exception;
    long getMethodId(Class<?> type, String name, String signature, boolean isStatic) throws Exception;
    Object getFieldObjectValue(Class<?> type, Object object, long fieldId) throws Exception;
    void setFieldObjectValue(Class<?> type, Object object, long fieldId, Object value) throws Exception;
    long getFieldPrimValue(Class<?> type, Object object, long fieldId, int typeCode) throws Exception;
    Object callObjectMethod(Class<?> type, Object object, long methodId, long mask, Object[] arguments,
        long[] primitiveArguments) throws Exception;
    long callPrimOrVoidMethod(Class<?> type, Object object, long methodId, long mask, int typeCode,
        Object[] arguments, long[] primitiveArguments) throws Exception;
  }

  static final class HostReflector implements Reflector {
    public long getFieldId(Class<?> t, String n, String s, boolean st) { return Natives.getFieldId(t, n, s, st); }
    public long getMethodId(Class<?> t, String n, String s, boolean st) { return Natives.getMethodId(t, n, s, st); }
    public Object getFieldObjectValue(Class<?> t, Object o, long f) { return Natives.getFieldObjectValue(t, o, f); }
    public void setFieldObjectValue(Class<?> t, Object o, long f, Object v) { Natives.setFieldObjectValue(t, o, f, v); }
    public long getFieldPrimValue(Class<?> t, Object o, long f, int c) { return Natives.getFieldPrimValue(t, o, f, c); }
    public Object callObjectMethod(Class<?> t, Object o, long m, long mask, Object[] a, long[] p) {
      return Natives.callObjectMethod(t, o, m, mask, a, p);
    }
    public long callPrimOrVoidMethod(Class<?> t, Object o, long m, long mask, int c, Object[] a, long[] p) {
      return Natives.callPrimOrVoidMethod(t, o, m, mask, c, a, p);
    }
  }

  // Callback is on the agent's boot path only, so it is reached by reflection.
  static final class CallbackReflector implements Reflector {
    final Class<?> callback = Class.forName("com.brantel.runtime.Callback");

    CallbackReflector() throws Exception {}

    Object invoke(String name, Object... arguments) throws Exception {
      for (Method method : callback.getMethods()) {
        if (method.getName().equals(name)) {
          try {
            return method.invoke(null, arguments);
          } catch (InvocationTargetException e) {
            Throwable cause = e.getCause();
            if (cause instanceof Error) throw (Error) cause;
            throw (Exception) cause;
          }
        }
      }
      throw new NoSuchMethodException(name);
    }

    public long getFieldId(Class<?> t, String n, String s, boolean st) throws Exception {
      return (Long) invoke("getFieldId", t, n, s, st);
    }
    public long getMethodId(Class<?> t, String n, String s, boolean st) throws Exception {
      return (Long) invoke("getMethodId", t, n, s, st);
    }
    public Object getFieldObjectValue(Class<?> t, Object o, long f) throws Exception {
      return invoke("getFieldObjectValue", t, o, f);
    }
    public void setFieldObjectValue(Class<?> t, Object o, long f, Object v) throws Exception {
      invoke("setFieldObjectValue", t, o, f, v);
    }
    public long getFieldPrimValue(Class<?> t, Object o, long f, int c) throws Exception {
      return (Long) invoke("getFieldPrimValue", t, o, f, c);
    }
    public Object callObjectMethod(Class<?> t, Object o, long m, long mask, Object[] a, long[] p) throws Exception {
      return invoke("callObjectMethod", t, o, m, mask, a, p);
    }
    public long callPrimOrVoidMethod(Class<?> t, Object o, long m, long mask, int c, Object[] a, long[] p)
        throws Exception {
      return (Long) invoke("callPrimOrVoidMethod", t, o, m, mask, c, a, p);
    }
  }

  // The fields and methods reached.
  static final class Target {
    boolean z = true;
    byte b = -1;
    char c = 0xFFFF;
    short s = -2;
    int i = -3;
    long j = Long.MIN_VALUE + 1;
    float f = 1.5f;
    double d = -0.5;
    String text = "instance";
    static int count = 7;
    static String shared = "static";
    static int touched;

    String m(String prefix, int n) { return prefix + n; }
    static String pair(Object a, Object b) { return a + "/" + b; }
    void touch() { touched++; }
    static int add(int a, int b) { return a + b; }
    static float half(float x) { return x / 2; }
    static char highest() { return 0xFFFF; }
    static byte minusOne() { return -1; }
    static boolean not(boolean value) { return !value; }
    static double scale(double x, long factor) { return x * factor; }
    static void fail() { throw new IllegalStateException("boom"); }
  }

  interface Call {
    Object run() throws Exception;
  }

  static void show(String name, Call call) {
    try {
      System.out.println(name + "=" + call.run());
    } catch (Exception | Error e) {
      System.out.println(name + " threw " + e.getClass().getName() + ": " + e.getMessage());
    }
  }

  public static void main(String[] args) throws Exception {
    final Reflector r;
    if (args[0].equals("natives")) {
      System.load(args[1]);
      r = new HostReflector();
    } else {
      r = new CallbackReflector();
    }
    final Class<?> t = Target.class;
    final Target target = new Target();
    String[][] primitives = {{"z", "Z"}, {"b", "B"}, {"c", "C"}, {"s", "S"}, {"i", "I"}, {"j", "J"}, {"f", "F"},
        {"d", "D"}};
    for (String[] field : primitives) {
      long id = r.getFieldId(t, field[0], field[1], false);
      show("get " + field[1], () -> r.getFieldPrimValue(t, target, id, field[1].charAt(0)));
    }
    long count = r.getFieldId(t, "count", "I", true);
    show("get static I", () -> r.getFieldPrimValue(t, null, count, 'I'));
    show("get V", () -> r.getFieldPrimValue(t, null, count, 'V'));
    long text = r.getFieldId(t, "text", "Ljava/lang/String;", false);
    long shared = r.getFieldId(t, "shared", "Ljava/lang/String;", true);
    show("get object", () -> r.getFieldObjectValue(t, target, text));
    show("get static object", () -> r.getFieldObjectValue(t, null, shared));
    show("set object", () -> {
      r.setFieldObjectValue(t, target, text, "changed");
      r.setFieldObjectValue(t, null, shared, null);
      return target.text + " " + Target.shared;
    });
    show("null name", () -> r.getFieldId(t, null, "I", false));
    show("missing method", () -> r.getMethodId(t, "nope", "()V", true));
    show("static without class", () -> r.getFieldPrimValue(null, null, count, 'I'));

    long m = r.getMethodId(t, "m", "(Ljava/lang/String;I)Ljava/lang/String;", false);
    long pair = r.getMethodId(t, "pair", "(Ljava/lang/Object;Ljava/lang/Object;)Ljava/lang/String;", true);
    show("call m", () -> r.callObjectMethod(t, target, m, 0b10, new Object[] {"s", null}, new long[] {0, 42}));
    show("call without primitives", () -> r.callObjectMethod(t, null, pair, 0b11, new Object[] {"x", 5}, null));
    show("call short primitives", () -> r.callObjectMethod(t, target, m, 0b10, new Object[] {"s", null},
        new long[] {0}));
    show("call null arguments", () -> r.callObjectMethod(t, target, m, 0, null, null));
    long touch = r.getMethodId(t, "touch", "()V", false);
    show("call V", () -> r.callPrimOrVoidMethod(t, target, touch, 0, 'V', new Object[0], null)
        + " touched=" + Target.touched);
    long add = r.getMethodId(t, "add", "(II)I", true);
    show("call I", () -> r.callPrimOrVoidMethod(t, null, add, 0b11, 'I', new Object[2], new long[] {-2, 44}));
    show("call X", () -> r.callPrimOrVoidMethod(t, null, add, 0b11, 'X', new Object[2], new long[] {-2, 44})
        + " touched=" + Target.touched);
    show("call prim short primitives", () -> r.callPrimOrVoidMethod(t, null, add, 0b11, 'I', new Object[2],
        new long[] {1}));
    show("call prim null arguments", () -> r.callPrimOrVoidMethod(t, null, add, 0b11, 'I', null, new long[2]));
    long half = r.getMethodId(t, "half", "(F)F", true);
    show("call F", () -> r.callPrimOrVoidMethod(t, null, half, 1, 'F', new Object[1],
        new long[] {Float.floatToIntBits(3f)}));
    long highest = r.getMethodId(t, "highest", "()C", true);
    show("call C", () -> r.callPrimOrVoidMethod(t, null, highest, 0, 'C', new Object[0], null));
    long minusOne = r.getMethodId(t, "minusOne", "()B", true);
    show("call B", () -> r.callPrimOrVoidMethod(t, null, minusOne, 0, 'B', new Object[0], null));
    long not = r.getMethodId(t, "not", "(Z)Z", true);
    show("call Z", () -> r.callPrimOrVoidMethod(t, null, not, 1, 'Z', new Object[1], new long[] {0}));
    long scale = r.getMethodId(t, "scale", "(DJ)D", true);
    show("call D", () -> Double.longBitsToDouble(r.callPrimOrVoidMethod(t, null, scale, 0b11, 'D', new Object[2],
        new long[] {Double.doubleToLongBits(0.25), 10})));
    long fail = r.getMethodId(t, "fail", "()V", true);
    show("call throwing", () -> r.callPrimOrVoidMethod(t, null, fail, 0, 'V', new Object[0], null));

    if (r instanceof HostReflector) {
      // Each pattern narrowed to the field's type.
      long[][] writes = {{'Z', 1}, {'B', 0x1FF}, {'C', 0x1FFFF}, {'S', 0x18000}, {'I', 0x100000005L},
          {'J', Long.MAX_VALUE}, {'F', Float.floatToIntBits(-2.25f)}, {'D', Double.doubleToLongBits(6.5)}};
      target.z = false;
      for (int k = 0; k < writes.length; k++) {
        long id = r.getFieldId(t, primitives[k][0], primitives[k][1], false);
        Natives.setFieldPrimValue(t, target, id, (int) writes[k][0], writes[k][1]);
      }
      System.out.println("set fields=" + target.z + " " + target.b + " " + (int) target.c + " " + target.s + " "
          + target.i + " " + target.j + " " + target.f + " " + target.d);
      Natives.setFieldPrimValue(t, null, count, 'I', -9);
      System.out.println("set static I=" + Target.count);
      show("set V", () -> {
        Natives.setFieldPrimValue(t, null, count, 'V', 1);
        return Target.count;
      });
    }
  }
}
