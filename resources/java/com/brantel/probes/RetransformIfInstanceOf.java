package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** Loaded classes that extend or implement one of these are retransformed when the probe is registered. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.TYPE)
public @interface RetransformIfInstanceOf {
  String[] value();
}
