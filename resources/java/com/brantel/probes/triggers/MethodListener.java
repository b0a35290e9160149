package com.brantel.probes.triggers;

/** Receives the calls that a method-listener probe observes; see {@link MethodListeners}. */
public interface MethodListener {
  /** A matched method was entered. */
  void methodEntered(Class<?> probedClass, String methodName, String signature);

  /** A matched method returned, or threw {@code thrown} (null on a normal return), after {@code timeMs}. */
  void methodExited(Class<?> probedClass, String methodName, String signature, long timeMs, Throwable thrown);
}
