package monitored;

import static org.junit.Assert.assertEquals;
import static org.junit.Assume.assumeTrue;

import org.junit.FixMethodOrder;
import org.junit.Ignore;
import org.junit.Test;
import org.junit.runners.MethodSorters;

/** A JUnit 4 suite with one test of each outcome, run in the order of their names. */
@FixMethodOrder(MethodSorters.NAME_ASCENDING)
public class ArithmeticTest {
  @Test
  public void adds() {
    assertEquals(4, 2 + 2);
  }

  @Test
  public void multiplies() {
    assertEquals("product", 6, 2 * 2);
  }

  @Ignore("not written yet")
  @Test
  public void divides() {}

  @Test
  public void needsNetwork() {
    assumeTrue("offline", false);
  }
}
