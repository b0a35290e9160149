// A class hierarchy with interface constants and every kind of field, for the heap dump's class
// descriptions and value filling. Every field holds a value of its own, so a reported value names the
// field it came from.
interface HeapShapesI0 {
  int I0_A = 10;
  Object I0_OBJ = new Object();
}

interface HeapShapesI2 extends HeapShapesI0 {
  long I2_B = 20L;
}

// Reaches HeapShapesI0 twice: directly and through HeapShapesI2.
interface HeapShapesI1 extends HeapShapesI2, HeapShapesI0 {
  int I1_C = 30;
}

class HeapShapesBase implements HeapShapesI0 {
  static int baseStatic = 102;
  static Object baseStaticRef = new Object();
  int baseInt = 101;
  Object baseRef = new Object();
}

class HeapShapesMiddle extends HeapShapesBase {
  long middleLong = 201L;
  static short middleStatic = 202;
}

public class HeapShapes extends HeapShapesMiddle implements HeapShapesI1 {
  boolean z = true;
  byte b = -3;
  char c = '\uFFFE';
  short s = -4;
  int i = -5;
  float f = 1.5f;
  long j = -6L;
  double d = -2.25;
  Object o = new Object();
  int[] arr = new int[3];
  Object nothing = null;
  int zero = 0;

  static boolean sz = true;
  static byte sb = -7;
  static char sc = 'x';
  static short ss = -8;
  static int si = -1;
  static float sf = -0.5f;
  static long sj = 0x0102030405060708L;
  static double sd = 3.75;
  static Object so = new Object();
  static int zeroStatic = 0;

  public static HeapShapes instance = new HeapShapes();
}
