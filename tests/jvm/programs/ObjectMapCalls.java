import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;

// Drives the object-map natives as the Java side's probes do and prints one line per answer.
public class ObjectMapCalls {
  static Class<?> callback;
  // The first map's handle, which refusals name, shows as "<first>".
  static String firstHandle = "";

  static Object call(String name, Object... arguments) throws Exception {
    for (Method method : callback.getMethods()) {
      if (method.getName().equals(name) && method.getParameterCount() == arguments.length) {
        try {
          return method.invoke(null, arguments);
        } catch (InvocationTargetException e) {
          return e.getCause().getClass().getName() + ": " + e.getCause().getMessage();
        }
      }
    }
    throw new NoSuchMethodException(name);
  }

  static void print(String what, Object answer) {
    System.out.println(what + " = " + String.valueOf(answer).replace(firstHandle, "<first>"));
  }

  static Object put(long map, Object object, int value) throws Exception {
    return call("objectMapPut", map, object, value, false, 0);
  }

  public static void main(String[] args) throws Exception {
    callback = Class.forName("com.brantel.runtime.Callback");
    long first = (Long) call("createObjectMap");
    long second = (Long) call("createObjectMap");
    firstHandle = Long.toString(first);
    Object a = new Object();
    Object b = new Object();
    print("put a 7", put(first, a, 7));
    print("get a", call("objectMapGet", first, a));
    print("get b", call("objectMapGet", first, b));
    long idA = (Long) call("objectGetId", a);
    print("id a stays", idA == (Long) call("objectGetId", a));
    print("id b differs", idA != (Long) call("objectGetId", b) && idA > 0);
    print("conditional put b 8 over 0", call("objectMapPut", first, b, 8, true, 0));
    print("conditional put b 9 over 0", call("objectMapPut", first, b, 9, true, 0));
    print("get b", call("objectMapGet", first, b));
    print("put a 0", put(first, a, 0));
    print("get a", call("objectMapGet", first, a));
    print("put null", put(first, null, 3));
    print("get null", call("objectMapGet", first, null));

    // Both maps hold 10: deleting one leaves it live in the other.
    Object shared = new Object();
    print("put shared 10 in first", put(first, shared, 10));
    print("put shared 10 in second", put(second, shared, 10));
    call("deleteObjectMap", first);
    print("get shared in second", call("objectMapGet", second, shared));
    print("delete first again", call("deleteObjectMap", first));
    print("get in deleted", call("objectMapGet", first, shared));
    print("put in deleted", put(first, shared, 1));
    print("delete 0", call("deleteObjectMap", 0L));
    print("get with 0", call("objectMapGet", 0L, shared));
    print("live id", call("isLiveObjectId", idA));

    // Objects collected while maps hold them leave the maps; the maps go on working.
    WeakReference<Object> last = null;
    for (int i = 0; i < 100000; i++) {
      Object dying = new int[4];
      put(second, dying, 100 + (i % 1000));
      last = new WeakReference<>(dying);
    }
    for (int i = 0; i < 50 && last.get() != null; i++) {
      System.gc();
      Thread.sleep(10);
    }
    print("collected", last.get() == null);
    print("get shared after collection", call("objectMapGet", second, shared));
    call("deleteObjectMap", second);
  }
}
