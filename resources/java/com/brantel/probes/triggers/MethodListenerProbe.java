package com.brantel.probes.triggers;

import com.brantel.probes.ClassRef;
import com.brantel.probes.MethodName;
import com.brantel.probes.MethodPattern;
import com.brantel.probes.MethodSignature;
import com.brantel.probes.MethodTimeMs;
import com.brantel.probes.ThrownException;

/**
 * The template of the method-listener probes, patched by the native Callback.patchTemplateClass, which
 * replaces texts in the constant pool:
 * <ul>
 * <li>"%%METHOD_PATTERN%%" by the pattern of the methods to observe;</li>
 * <li>"%%LISTENER_ID%%" by the id of the {@link MethodListeners} entry that receives the calls;</li>
 * <li>"com/brantel/probes/triggers/MethodListenerProbe" by a class name of the probe's own, so that
 * several listener probes can be registered side by side.</li>
 * </ul>
 * The patch then removes the template method {@code $$template$$} and erases its name from every text, which
 * turns {@code $$template$$onEnter} and {@code $$template$$onExit} into the callbacks onEnter and onExit.
 * Unpatched, the class has no callbacks and is no probe.
 */
@MethodPattern("%%METHOD_PATTERN%%")
public final class MethodListenerProbe {
  private static final String LISTENER_ID = "%%LISTENER_ID%%";

  private MethodListenerProbe() {}

  // Its name is the prefix that hides the callbacks until the class is patched.
  private static void $$template$$() {}

  public static void $$template$$onEnter(@ClassRef Class<?> probedClass, @MethodName String methodName,
      @MethodSignature String signature) {
    MethodListeners.enter(LISTENER_ID, probedClass, methodName, signature);
  }

  public static void $$template$$onExit(@ClassRef Class<?> probedClass, @MethodName String methodName,
      @MethodSignature String signature, @MethodTimeMs long timeMs, @ThrownException Throwable thrown) {
    MethodListeners.exit(LISTENER_ID, probedClass, methodName, signature, timeMs, thrown);
  }
}
