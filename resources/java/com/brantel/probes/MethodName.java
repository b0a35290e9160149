package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** The probed method's name, as a String. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.PARAMETER)
public @interface MethodName {}
