package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/**
 * The methods a probe class observes, as {@code <class>:<method>(<params>)} patterns; a value that begins
 * with "-" excludes the methods it matches.
 */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.TYPE)
public @interface MethodPattern {
  String[] value();
}
