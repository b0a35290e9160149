package com.brantel.runtime;

import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Answers for the agent, while it chooses the loaded classes to retransform for new probes, whether a class
 * extends or implements a class or interface of a given name. The agent hands it every loaded class first.
 */
public final class ClassTree {
  // The loaded classes by name. One name may stand for classes of several loaders.
  private final Map<String, List<Class<?>>> classesByName = new HashMap<>();

  /** Records a loaded class. */
  public void addClass(Class<?> loaded) {
    List<Class<?>> named = classesByName.get(loaded.getName());
    if (named == null) {
      named = new ArrayList<>(1);
      classesByName.put(loaded.getName(), named);
    }
    named.add(loaded);
  }

  /**
   * Whether the class, one of its super classes or an interface it implements (also through super classes
   * and super interfaces) is named {@code name}, given in dot or slash form. A super type is always loaded
   * before its sub types, so the recorded classes of that name are the only candidates; the JVM answers for
   * each of them.
   */
  public boolean isInstanceOf(Class<?> type, String name) {
    List<Class<?>> candidates = classesByName.get(name.replace('/', '.'));
    if (candidates == null) {
      return false;
    }
    for (Class<?> candidate : candidates) {
      if (candidate.isAssignableFrom(type)) {
        return true;
      }
    }
    return false;
  }
}
