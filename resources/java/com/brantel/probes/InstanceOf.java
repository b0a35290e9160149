package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** Restricts the probe to instances of the named class or interface; its @This parameters are Objects. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.TYPE)
public @interface InstanceOf {
  String value();
}
