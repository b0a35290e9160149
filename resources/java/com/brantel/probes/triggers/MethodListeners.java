package com.brantel.probes.triggers;

import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ConcurrentMap;

/**
 * The listeners of the method-listener probes, by listener id. A probe class built from
 * {@link MethodListenerProbe} carries its id and reports every call of its methods here; calls for an id
 * without a listener are dropped, so a probe may outlive its listener.
 */
public final class MethodListeners {
  private static final ConcurrentMap<String, MethodListener> LISTENERS = new ConcurrentHashMap<>();

  private MethodListeners() {}

  /** Makes {@code listener} the one that receives the calls of the probe built with {@code listenerId}. */
  public static void register(String listenerId, MethodListener listener) {
    LISTENERS.put(listenerId, listener);
  }

  public static void unregister(String listenerId) {
    LISTENERS.remove(listenerId);
  }

  /** Called by the probe's onEnter. */
  public static void enter(String listenerId, Class<?> probedClass, String methodName, String signature) {
    MethodListener listener = LISTENERS.get(listenerId);
    if (listener != null) {
      listener.methodEntered(probedClass, methodName, signature);
    }
  }

  /** Called by the probe's onExit. */
  public static void exit(String listenerId, Class<?> probedClass, String methodName, String signature,
      long timeMs, Throwable thrown) {
    MethodListener listener = LISTENERS.get(listenerId);
    if (listener != null) {
      listener.methodExited(probedClass, methodName, signature, timeMs, thrown);
    }
  }
}
